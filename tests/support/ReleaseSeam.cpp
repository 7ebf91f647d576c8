// Replaces the library's empty release notice (core/ReleaseNotice.cpp).
#include <atomic>

#include "core/ReleaseNotice.h"
#include "tests/support/Seams.h"

namespace qorx {

namespace {
std::atomic<ReleaseObserver> g_observer{nullptr};
}  // namespace

void SetReleaseObserver(ReleaseObserver observer) noexcept {
  g_observer.store(observer);
}

namespace detail {
void NotifyRelease(const void* data, size_t len) noexcept {
  ReleaseObserver observer = g_observer.load(std::memory_order_relaxed);
  if (observer != nullptr) observer(data, len);
}
}  // namespace detail

}  // namespace qorx
