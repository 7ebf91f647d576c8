#include "core/ReleaseNotice.h"

namespace qorx::detail {

void NotifyRelease(const void*, size_t) noexcept {}

}  // namespace qorx::detail
