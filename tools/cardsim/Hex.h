#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qorx::cardsim {

using Bytes = std::vector<uint8_t>;

// Hex digits in either case; blanks, tabs, CR and LF are skipped. False on any other
// character or an odd digit count (`out` is left untouched then).
bool ParseHex(const std::string& text, Bytes* out);
// Upper-case hex without separators.
std::string ToHex(const uint8_t* data, size_t size);
inline std::string ToHex(const Bytes& bytes) {
  return ToHex(bytes.data(), bytes.size());
}

}  // namespace qorx::cardsim
