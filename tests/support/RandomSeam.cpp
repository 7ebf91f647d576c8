// Replaces the key vault's random source (crypto/RandomSource.cpp).
#include <openssl/rand.h>

#include <atomic>

#include "crypto/RandomSource.h"
#include "tests/support/Seams.h"

namespace qorx {

namespace {
std::atomic<RandomBytesFunction> g_randomBytes{&RAND_bytes};
}  // namespace

RandomBytesFunction SetRandomBytesFunction(RandomBytesFunction function) noexcept {
  return g_randomBytes.exchange(function != nullptr ? function : &RAND_bytes);
}

namespace detail {
int RandomBytes(unsigned char* buffer, int length) noexcept {
  return g_randomBytes.load()(buffer, length);
}
}  // namespace detail

}  // namespace qorx
