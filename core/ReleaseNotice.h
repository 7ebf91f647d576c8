#pragma once

#include <cstddef>

namespace qorx::detail {

// Called with every byte block right after it was wiped and right before its memory goes back
// to the allocator. The library's definition does nothing. It sits alone in its own file, so
// a program that links another definition ahead of the library (the tests, to see that the
// wipe happened) gets that one instead, and one that links both fails to link.
void NotifyRelease(const void* data, size_t len) noexcept;

}  // namespace qorx::detail
