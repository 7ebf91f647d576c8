#include "tools/bridge/Base64.h"

#include <array>

namespace qorx::bridge {

namespace {

constexpr uint8_t kInvalid = 0xFF;

constexpr std::array<uint8_t, 256> MakeTable() {
  std::array<uint8_t, 256> table{};
  for (auto& entry : table) entry = kInvalid;
  const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (uint8_t i = 0; i < 64; ++i) table[static_cast<uint8_t>(alphabet[i])] = i;
  return table;
}

constexpr std::array<uint8_t, 256> kTable = MakeTable();

}  // namespace

bool DecodeBase64(const char* text, size_t length, uint8_t* out, size_t* decoded) noexcept {
  *decoded = 0;
  if (length % 4 != 0) return false;
  if (length == 0) return true;
  const auto* in = reinterpret_cast<const uint8_t*>(text);
  const size_t padding = in[length - 1] != '=' ? 0 : in[length - 2] != '=' ? 1 : 2;
  // Every group but the last is four characters of the alphabet; checked together, as one
  // invalid character anywhere sets the high bit of the combination.
  const size_t whole = (length - 4) / 4;
  uint8_t* to = out;
  for (size_t g = 0; g < whole; ++g, in += 4, to += 3) {
    const uint8_t a = kTable[in[0]], b = kTable[in[1]], c = kTable[in[2]], d = kTable[in[3]];
    if (((a | b | c | d) & 0x80) != 0) return false;
    const uint32_t v = static_cast<uint32_t>(a) << 18 | static_cast<uint32_t>(b) << 12 |
                       static_cast<uint32_t>(c) << 6 | d;
    to[0] = static_cast<uint8_t>(v >> 16);
    to[1] = static_cast<uint8_t>(v >> 8);
    to[2] = static_cast<uint8_t>(v);
  }
  const uint8_t a = kTable[in[0]], b = kTable[in[1]];
  const uint8_t c = padding >= 2 ? 0 : kTable[in[2]];
  const uint8_t d = padding >= 1 ? 0 : kTable[in[3]];
  if (((a | b | c | d) & 0x80) != 0) return false;
  const uint32_t v = static_cast<uint32_t>(a) << 18 | static_cast<uint32_t>(b) << 12 |
                     static_cast<uint32_t>(c) << 6 | d;
  // Bits the padding leaves out must be zero, so that each byte string has one spelling.
  if ((padding == 1 && (v & 0xFF) != 0) || (padding == 2 && (v & 0xFFFF) != 0)) return false;
  to[0] = static_cast<uint8_t>(v >> 16);
  if (padding < 2) to[1] = static_cast<uint8_t>(v >> 8);
  if (padding < 1) to[2] = static_cast<uint8_t>(v);
  *decoded = whole * 3 + 3 - padding;
  return true;
}

}  // namespace qorx::bridge
