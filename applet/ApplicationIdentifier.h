#pragma once

#include <cstdint>

namespace qorx {

// The bank's card application: a 5-byte registered application provider identifier followed
// by a 2-byte proprietary extension. Build-time data shared by the library and the simulator.
constexpr uint8_t kApplicationProvider[5] = {0xA0, 0x00, 0x00, 0x09, 0x51};
constexpr uint8_t kApplicationExtension[2] = {0x10, 0x01};
constexpr uint8_t kApplicationAid[7] = {0xA0, 0x00, 0x00, 0x09, 0x51, 0x10, 0x01};

}  // namespace qorx
