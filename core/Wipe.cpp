#include "core/Wipe.h"

#include <string.h>

#include <atomic>

namespace qorx {

namespace {
std::atomic<ReleaseObserver> g_observer{nullptr};
}  // namespace

void SecureWipe(void* data, size_t len) noexcept {
  if (data != nullptr && len > 0) explicit_bzero(data, len);
}

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
