#pragma once

#include <memory>
#include <string>

#include "applet/QorTerminalAppletService.h"
#include "tools/qorx/Args.h"

namespace qorx::cli {

// Exit codes; --help lists them.
enum Exit : int {
  kExitSuccess = 0,
  kExitStatus = 1,         // the operation failed: the status is printed
  kExitUsage = 2,          // the command line is wrong
  kExitRejected = 3,       // secret code rejected (tries left printed)
  kExitBlocked = 4,        // secret code blocked
  kExitNoCard = 5,         // no reader, or no card in it
  kExitNoPin = 6,          // the secret code could not be read
  kExitScriptStopped = 7,  // the card refused a command of the host's script
};

// The card dialogue of one process: one service, the reader opened on first need and kept,
// so that an authenticated card and a verified secret code carry from command to command.
class Context {
 public:
  explicit Context(const Options& options) : reader_(options.reader) {}

  TQorTerminalAppletService& Service();
  // The service with its reader open and the card followed.
  TQorTerminalAppletService& Card();

 private:
  std::string reader_;
  std::unique_ptr<TQorTerminalAppletService> service_;
  bool open_ = false;
};

// Runs one command (its help with --help) and returns its exit code. Every failure is turned
// into its status and printed; nothing escapes.
int RunCommand(Context& context, const Options& options) noexcept;

// Reads commands from standard input, one a line, through one context; a prompt when that is
// a terminal. Returns 0 when every command succeeded, else the exit code of the last failure.
int RunSession(const Options& options) noexcept;

// The program's help: commands, options, exit codes.
void PrintHelp();

}  // namespace qorx::cli
