#pragma once

// Ways into the library that only tests have (tests/support/CMakeLists.txt says how they are
// linked). A test calling one without linking its seam fails to link.

#include <cstddef>

namespace qorx {

// Called with every byte block right after it was wiped and right before its memory goes back
// to the allocator, while set; null stops it. Lets a test prove the wipe happened.
using ReleaseObserver = void (*)(const void* data, size_t len);
void SetReleaseObserver(ReleaseObserver observer) noexcept;

// The function the key vault draws random bytes from (RAND_bytes unless replaced); null
// restores RAND_bytes. Returns the previous function.
using RandomBytesFunction = int (*)(unsigned char* buffer, int length);
RandomBytesFunction SetRandomBytesFunction(RandomBytesFunction function) noexcept;

// Forgets the loaded PC/SC library so that the next use loads again (and reads the
// environment variable again). No slot may hold a context or card handle when it is called.
void ResetPCSCLibraryForTesting() noexcept;

}  // namespace qorx
