#include "crypto/RandomSource.h"

#include <openssl/rand.h>

namespace qorx::detail {

int RandomBytes(unsigned char* buffer, int length) noexcept {
  return RAND_bytes(buffer, length);
}

}  // namespace qorx::detail
