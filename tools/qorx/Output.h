#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qorx::cli {

// One result of a command: named fields in order. As text each field is a "label: value" line
// (a list is one line per item); as JSON the result is one object on one line, with the
// command's name and its status first.
class Result {
 public:
  explicit Result(std::string command) : command_(std::move(command)) {}

  void Text(const char* key, const char* label, const std::string& value);
  void Number(const char* key, const char* label, int64_t value);
  void Flag(const char* key, const char* label, bool value);
  void List(const char* key, const std::vector<std::string>& items);

  const std::string& Command() const noexcept { return command_; }
  // Writes the result: text lines, or the JSON object with "status": 0.
  void Print(FILE* out, bool json) const;

 private:
  enum class Kind { kText, kNumber, kFlag, kList };
  struct Field {
    Kind kind;
    std::string key, label, text;
    int64_t number = 0;
    std::vector<std::string> items;
  };
  std::string command_;
  std::vector<Field> fields_;
};

// A failure as the user sees it: the status, its name, and what else is known.
struct Failure {
  int32_t status = 0;
  std::string name;    // from the tables, or "unknown status"
  std::string detail;  // e.g. "2 tries left", or the framework's "Unit(line) : message"
  int exitCode = 1;
  int32_t triesLeft = -1;  // known after a rejected secret code
};

// "1794 secret code rejected, 2 tries left" on `err`; with `json` also the JSON object
// {"command":...,"status":1794,"name":...,...} on `out`.
void PrintFailure(FILE* out, FILE* err, bool json, const std::string& command,
                  const Failure& failure);

// `text` as a JSON string literal, quotes included; bytes that are not valid UTF-8 become
// U+FFFD so the output always parses.
std::string JsonString(const std::string& text);

}  // namespace qorx::cli
