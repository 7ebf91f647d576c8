#include "bindings/java/ModifiedUtf8.h"

#include <limits>

#include "core/Exceptions.h"
#include "core/Utf8.h"

namespace qorx {

TSDByteArray Utf8ToModifiedUtf8(const uint8_t* data, size_t length) {
  // Each input byte yields at most 3 output bytes (an invalid byte becomes EF BF BD; a 4-byte
  // form becomes 6 bytes; NUL becomes 2).
  if (length > static_cast<size_t>(std::numeric_limits<int32_t>::max()) / 3)
    QORX_RAISE(sd::kLength, unit::kObjects);
  utf8::TextWriter out(length * 3);
  for (size_t i = 0; i < length;) {
    const utf8::Step step = utf8::Decode(data + i, length - i);
    i += step.length;
    if (step.cp == 0) {
      out.Byte(0xC0);
      out.Byte(0x80);
    } else if (step.cp >= 0x10000) {
      out.CodePoint(utf8::HighSurrogate(step.cp));
      out.CodePoint(utf8::LowSurrogate(step.cp));
    } else {
      out.CodePoint(step.cp);
    }
  }
  return out.Finish();
}

bool ModifiedUtf8ToUtf8(const uint8_t* data, size_t length, TSDByteArray* out) {
  if (out == nullptr) return false;
  if (length >= static_cast<size_t>(std::numeric_limits<int32_t>::max())) return false;
  // Modified UTF-8 is CESU-8 with NUL as C0 80 and no 4-byte forms. NUL in either form and a
  // 4-byte form are refused with everything else a JVM never hands out.
  for (size_t i = 0; i < length;) {
    const utf8::Step step =
        utf8::Decode(data + i, length - i, utf8::Broken::kMaximalSubpart, utf8::Form::kCesu8);
    if (!step.valid || step.cp == 0 || step.cp >= 0x10000) return false;
    i += step.length;
  }
  *out = utf8::Cesu8ToUtf8(data, length);
  return true;
}

}  // namespace qorx
