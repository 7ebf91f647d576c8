#include "core/Hex.h"

#include <utility>

namespace qorx {

namespace hex {

namespace {
constexpr bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
}  // namespace

bool DecodedSize(const char* text, size_t length, size_t* bytes) noexcept {
  size_t digits = 0;
  for (size_t i = 0; i < length; ++i) {
    if (IsBlank(text[i])) continue;
    if (DigitValue(text[i]) < 0) return false;
    ++digits;
  }
  if (digits % 2 != 0) return false;
  *bytes = digits / 2;
  return true;
}

void DecodeInto(const char* text, size_t length, uint8_t* out) noexcept {
  unsigned accumulator = 1;  // the leading 1 marks when two digits have been shifted in
  for (size_t i = 0; i < length; ++i) {
    const int value = DigitValue(text[i]);
    if (value < 0) continue;
    accumulator = accumulator * 16 + static_cast<unsigned>(value);
    if (accumulator > 255) {
      *out++ = static_cast<uint8_t>(accumulator & 0xFF);
      accumulator = 1;
    }
  }
}

void EncodeInto(const uint8_t* data, size_t size, bool spaced, char* out) noexcept {
  static const char kDigits[] = "0123456789ABCDEF";
  for (size_t i = 0; i < size; ++i) {
    if (spaced && i > 0) *out++ = ' ';
    *out++ = kDigits[data[i] >> 4];
    *out++ = kDigits[data[i] & 0x0F];
  }
}

}  // namespace hex

bool ParseHex(const std::string& text, std::vector<uint8_t>* out) {
  size_t bytes = 0;
  if (!hex::DecodedSize(text.data(), text.size(), &bytes)) return false;
  std::vector<uint8_t> result(bytes);
  hex::DecodeInto(text.data(), text.size(), result.data());
  *out = std::move(result);
  return true;
}

std::string ToHex(const uint8_t* data, size_t size) {
  std::string text(hex::EncodedSize(size, false), '\0');
  hex::EncodeInto(data, size, false, text.data());
  return text;
}

}  // namespace qorx
