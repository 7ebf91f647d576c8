#include "tools/qorx/Args.h"

#include <cerrno>
#include <cstdlib>

namespace qorx::cli {

namespace {

long Number(const std::string& option, const std::string& value, long min, long max) {
  if (value.empty()) throw UsageError("--" + option + " needs a number");
  errno = 0;
  char* end = nullptr;
  const long n = std::strtol(value.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || n < min || n > max)
    throw UsageError("--" + option + ": not a number from " + std::to_string(min) + " to " +
                     std::to_string(max) + ": " + value);
  return n;
}

}  // namespace

Options ParseArguments(const std::vector<std::string>& words) {
  Options o;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word.size() < 2 || word.compare(0, 2, "--") != 0) {
      if (word == "-h") {
        o.help = true;
        continue;
      }
      if (!o.command.empty()) throw UsageError("unexpected argument: " + word);
      o.command = word;
      continue;
    }
    std::string name = word.substr(2), value;
    bool inlineValue = false;
    if (const size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      inlineValue = true;
    }
    const auto flag = [&] {
      if (inlineValue) throw UsageError("--" + name + " takes no value");
    };
    const auto take = [&]() -> std::string {
      if (inlineValue) return value;
      if (i + 1 >= words.size()) throw UsageError("--" + name + " needs a value");
      return words[++i];
    };
    o.given.push_back(name);
    if (name == "help") {
      flag();
      o.help = true;
    } else if (name == "json") {
      flag();
      o.json = true;
    } else if (name == "trace") {
      // Its value only inline: "--trace sign" must not take the command for a file name.
      o.trace = inlineValue ? value : "stderr";
      if (o.trace.empty()) throw UsageError("--trace= needs a file name");
    } else if (name == "pem" || name == "der") {
      flag();
      o.format = name;
    } else if (name == "reader") {
      o.reader = take();
    } else if (name == "pin-fd") {
      o.pinFd = static_cast<int>(Number(name, take(), 0, 1 << 20));
    } else if (name == "date") {
      o.date = take();
    } else if (name == "text") {
      o.text = take();
      o.hasText = true;
    } else if (name == "hex") {
      o.hex = take();
      o.hasHex = true;
    } else if (name == "file") {
      o.file = take();
      o.hasFile = true;
    } else if (name == "format") {
      o.format = take();
      if (o.format != "summary" && o.format != "hex" && o.format != "pem" && o.format != "der")
        throw UsageError("--format: summary, hex, pem or der, not " + o.format);
    } else if (name == "out") {
      o.out = take();
    } else if (name == "tag") {
      o.tag = static_cast<unsigned>(Number(name, take(), 1, 0xFFFF));
    } else if (name == "key-version") {
      o.keyVersion = static_cast<int>(Number(name, take(), 0, 255));
      o.hasKeyVersion = true;
    } else if (name == "challenge") {
      o.challenge = take();
      o.hasChallenge = true;
    } else if (name == "script") {
      o.script = take();
      o.hasScript = true;
    } else if (name == "script-file") {
      o.scriptFile = take();
      o.hasScriptFile = true;
    } else {
      throw UsageError("unknown option --" + name);
    }
  }
  return o;
}

std::vector<std::string> SplitLine(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false, quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\\' && i + 1 < line.size()) {
      word += line[++i];
      inWord = true;
    } else if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if (!quoted && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (quoted) throw UsageError("unclosed quote");
  if (inWord) words.push_back(word);
  return words;
}

}  // namespace qorx::cli
