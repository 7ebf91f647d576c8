#pragma once

#include <cstddef>

namespace qorx {

// Overwrites `len` bytes with zeros in a way the optimiser may not drop, even when the
// memory is about to be freed.
void SecureWipe(void* data, size_t len) noexcept;

}  // namespace qorx
