#include "tools/qorx/Progress.h"

#include <unistd.h>

namespace qorx::cli {

Progress::Progress(const char* label, uint64_t total) noexcept
    : label_(label), total_(total), active_(isatty(STDERR_FILENO) == 1) {}

Progress::~Progress() {
  if (open_) std::fputc('\n', stderr);
}

void Progress::Advance(uint64_t bytes) noexcept {
  done_ += bytes;
  if (done_ > total_) done_ = total_;
  Draw();
}

void Progress::Done() noexcept {
  done_ = total_;
  Draw();
  if (open_) {
    std::fputc('\n', stderr);
    std::fflush(stderr);
  }
  open_ = false;
  active_ = false;
}

void Progress::Draw() noexcept {
  if (!active_) return;
  const int percent = total_ == 0 ? 100 : static_cast<int>(done_ * 100 / total_);
  if (percent == shown_) return;
  shown_ = percent;
  constexpr int kWidth = 30;
  char bar[kWidth + 1];
  const int filled = percent * kWidth / 100;
  for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '.';
  bar[kWidth] = '\0';
  std::fprintf(stderr, "\r%s [%s] %3d%% %llu/%llu MiB", label_, bar, percent,
               static_cast<unsigned long long>(done_ >> 20),
               static_cast<unsigned long long>(total_ >> 20));
  std::fflush(stderr);
  open_ = true;
}

}  // namespace qorx::cli
