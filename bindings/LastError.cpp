#include "bindings/LastError.h"

#include <cstring>

namespace qorx {

int32_t CopyLastErrorMessage(const EAPSException& record, char* buffer, int32_t* length) noexcept {
  if (length == nullptr) return aps::kCannotServe;
  try {
    const char* message = record.Message().CStr();
    const size_t size = std::strlen(message);
    if (buffer != nullptr) {
      // The caller states the buffer's size in bytes; the terminator needs one of them too.
      if (*length < 0 || static_cast<size_t>(*length) < size + 1) return aps::kCannotServe;
      std::memcpy(buffer, message, size + 1);
    }
    *length = static_cast<int32_t>(size);
    return aps::kSuccess;
  } catch (...) {
    return aps::kUnexpected;
  }
}

}  // namespace qorx
