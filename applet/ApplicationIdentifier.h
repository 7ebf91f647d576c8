#pragma once

#include <cstddef>
#include <cstdint>

namespace qorx {

// The bank's card application: a 5-byte registered application provider identifier followed
// by a 2-byte proprietary extension. Build-time data shared by the library and the simulator.
constexpr uint8_t kApplicationAid[7] = {0xA0, 0x00, 0x00, 0x09, 0x51, 0x10, 0x01};
// The provider identifier is the AID's head; the issuer keys' identifiers begin with it.
constexpr size_t kApplicationProviderLength = 5;

}  // namespace qorx
