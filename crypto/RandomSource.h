#pragma once

namespace qorx::detail {

// The key vault's random bytes: libcrypto's RAND_bytes, with its result. It sits alone in its
// own file, so a program that links another definition ahead of the library (the tests, to
// make the source fail) gets that one instead, and one that links both fails to link.
int RandomBytes(unsigned char* buffer, int length) noexcept;

}  // namespace qorx::detail
