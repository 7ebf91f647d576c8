#pragma once

#include <cstdint>
#include <vector>

#include "core/Hex.h"  // ParseHex and ToHex for the simulator's bytes

namespace qorx::cardsim {

using Bytes = std::vector<uint8_t>;

}  // namespace qorx::cardsim
