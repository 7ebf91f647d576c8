#include "transport/pcsc/SmartCardSlot.h"

namespace qorx {

// Concrete slots close themselves in their own destructors: by the time this one runs,
// their Close is no longer reachable through the virtual table.
TSDSVCSmartCardSlot::~TSDSVCSmartCardSlot() = default;

}  // namespace qorx
