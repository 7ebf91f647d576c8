#include "tools/qorx/StatusNames.h"

#include "core/StatusTable.h"

namespace qorx::cli {

const char* ApplicationStatusName(int32_t status) noexcept {
  return status::ApplicationMessage(status);
}
const char* FrameworkCodeName(uint16_t code) noexcept {
  return status::FrameworkMessage(code);
}

}  // namespace qorx::cli
