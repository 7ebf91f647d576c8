#pragma once

#include <cstddef>

namespace qorx {

// Overwrites `len` bytes with zeros in a way the optimiser may not drop, even when the
// memory is about to be freed.
void SecureWipe(void* data, size_t len) noexcept;

// Test seam: when set, called with every byte block right after it was wiped and right
// before its memory goes back to the allocator. Lets a test prove the wipe happened.
using ReleaseObserver = void (*)(const void* data, size_t len);
void SetReleaseObserver(ReleaseObserver observer) noexcept;

namespace detail {
void NotifyRelease(const void* data, size_t len) noexcept;
}  // namespace detail

}  // namespace qorx
