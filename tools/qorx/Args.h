#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace qorx::cli {

// A command line that cannot be run as written; the message says why.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Every option any command takes; a command refuses those it does not list.
struct Options {
  std::string command;
  bool help = false;
  bool json = false;
  std::string trace;   // where the PC/SC trace goes: "stderr" for --trace, a file for --trace=FILE
  std::string reader;  // empty: the first listed reader
  int pinFd = -1;      // -1: the terminal
  std::string date;    // empty: today
  // Data of sign, hash and encrypt-password: exactly one.
  std::string text, hex, file;
  bool hasText = false, hasHex = false, hasFile = false;
  // certificate
  std::string format;  // summary, hex, pem or der
  std::string out;     // write bytes (signature, certificate) to this file
  // encrypt-password
  unsigned tag = 0x80;
  int keyVersion = 3;
  bool hasKeyVersion = false;
  // secure-channel
  std::string challenge, script, scriptFile;
  bool hasChallenge = false, hasScript = false, hasScriptFile = false;
  // Which options were given, by name, for the command's own check.
  std::vector<std::string> given;
};

// Parses `words` (the program name not included). Options may come before or after the
// command, as "--name value" or "--name=value". Raises UsageError for an unknown option, a
// missing value, or a number that does not read.
Options ParseArguments(const std::vector<std::string>& words);

// Splits a session line into words: blanks separate, double quotes group (a backslash takes
// the next character as it is). Raises UsageError for an unclosed quote.
std::vector<std::string> SplitLine(const std::string& line);

}  // namespace qorx::cli
