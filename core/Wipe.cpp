#include "core/Wipe.h"

#include <string.h>

namespace qorx {

void SecureWipe(void* data, size_t len) noexcept {
  if (data != nullptr && len > 0) explicit_bzero(data, len);
}

}  // namespace qorx
