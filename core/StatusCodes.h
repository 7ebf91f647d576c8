#pragma once

#include <cstdint>

#include "core/StatusTable.h"

namespace qorx {

// Framework failure codes carried by ESDException. The high byte is the failure class.
namespace sd {
#define QORX_FRAMEWORK_CONSTANT(constant, value, message) constexpr uint16_t constant = value;
QORX_FRAMEWORK_CODES(QORX_FRAMEWORK_CONSTANT)
#undef QORX_FRAMEWORK_CONSTANT
}  // namespace sd

// Application status codes carried by EAPSException: what callers of both front ends see.
namespace aps {
#define QORX_APPLICATION_CONSTANT(constant, value, message) constexpr int32_t constant = value;
QORX_APPLICATION_STATUSES(QORX_APPLICATION_CONSTANT)
#undef QORX_APPLICATION_CONSTANT
}  // namespace aps

// Source unit names that raise points report; callers see them in "%s(%d) : %s" texts.
namespace unit {
constexpr const char* kObjects = "Objects";
constexpr const char* kCrypto = "Crypto";
constexpr const char* kBaseServices = "BaseServices";
constexpr const char* kTLV = "TLV";
constexpr const char* kAPDU = "APDU";
constexpr const char* kTerminalAppletServices = "TerminalAppletServices";
constexpr const char* kHostAppletService = "HostAppletService";
constexpr const char* kKeySetKeyVault = "KeySetKeyVault";
constexpr const char* kSmartCardSlotPCSC = "SmartCardSlotPCSC";
}  // namespace unit

}  // namespace qorx
