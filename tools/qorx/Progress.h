#pragma once

#include <cstdint>
#include <cstdio>

namespace qorx::cli {

// A progress bar for long work on a file, drawn on standard error only when that is a
// terminal; elsewhere (a pipe, a log) it prints nothing at all.
class Progress {
 public:
  Progress(const char* label, uint64_t total) noexcept;
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Advance(uint64_t bytes) noexcept;
  // Draws 100 % and ends the line; the destructor ends the line without it (a failure).
  void Done() noexcept;

 private:
  void Draw() noexcept;

  const char* label_;
  uint64_t total_;
  uint64_t done_ = 0;
  int shown_ = -1;  // percentage last drawn
  bool active_;
  bool open_ = false;  // a bar is on the line
};

}  // namespace qorx::cli
