#pragma once

#include <cstddef>

namespace qorx::cli {

// A secret code as typed: never from the command line or the environment, only from the
// terminal (without echo) or from a descriptor a script opened. Wiped when it goes.
class SecretCode {
 public:
  static constexpr size_t kCapacity = 256;  // the card takes at most 15; the rest is refused

  SecretCode() noexcept = default;
  ~SecretCode();
  SecretCode(const SecretCode&) = delete;
  SecretCode& operator=(const SecretCode&) = delete;

  const char* CStr() const noexcept { return text_; }

  // One line from descriptor `fd` (read byte by byte, so nothing after the line is consumed;
  // a final CR is dropped). False at end of input before any byte, on a read error, or for a
  // line that does not fit.
  bool ReadFrom(int fd) noexcept;
  // Prompts on the controlling terminal and reads one line with echo off (restored even when
  // interrupted). False when there is no terminal.
  bool ReadFromTerminal(const char* prompt) noexcept;

 private:
  char text_[kCapacity] = {};
};

}  // namespace qorx::cli
