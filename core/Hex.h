#pragma once

// The one hex codec: byte arrays, the card simulator's byte vectors and the bridge's \u
// escapes all read and write hex digits through it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qorx {

namespace hex {

// The value of one hex digit in either case, or -1.
constexpr int DigitValue(char c) {
  return c >= '0' && c <= '9'   ? c - '0'
         : c >= 'A' && c <= 'F' ? c - 'A' + 10
         : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                : -1;
}

// The number of bytes `length` characters of hex text stand for: digits in either case, with
// blanks, tabs, CR and LF anywhere skipped. False on any other character (a NUL included) or
// an odd digit count.
bool DecodedSize(const char* text, size_t length, size_t* bytes) noexcept;
// Writes those bytes to `out`, which has room for them; `text` passed DecodedSize.
void DecodeInto(const char* text, size_t length, uint8_t* out) noexcept;
// Upper-case digits, with one blank between bytes when `spaced`.
constexpr size_t EncodedSize(size_t bytes, bool spaced) {
  return bytes == 0 ? 0 : spaced ? bytes * 3 - 1 : bytes * 2;
}
void EncodeInto(const uint8_t* data, size_t size, bool spaced, char* out) noexcept;

}  // namespace hex

// For byte vectors. ParseHex leaves `out` untouched when it returns false.
bool ParseHex(const std::string& text, std::vector<uint8_t>* out);
std::string ToHex(const uint8_t* data, size_t size);
inline std::string ToHex(const std::vector<uint8_t>& bytes) {
  return ToHex(bytes.data(), bytes.size());
}

}  // namespace qorx
