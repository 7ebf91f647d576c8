#include "bindings/java/ModifiedUtf8.h"

#include <limits>

#include "core/ByteReader.h"
#include "core/Exceptions.h"

namespace qorx {

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

// Appends to a buffer sized in advance for the worst case; never writes past `limit`.
class Writer {
 public:
  explicit Writer(size_t capacity) : buffer_(Capacity(capacity)) {}

  void Put(uint8_t b) noexcept {
    if (used_ < static_cast<size_t>(buffer_.Length()) - 1) buffer_.WritableData()[used_++] = b;
  }
  // One code point of the Basic Multilingual Plane (surrogate halves included) or NUL, in the
  // 1- to 3-byte forms both encodings share; NUL takes the 2-byte form.
  void PutBmp(uint32_t cp) noexcept {
    if (cp != 0 && cp < 0x80) {
      Put(static_cast<uint8_t>(cp));
    } else if (cp < 0x800) {
      Put(static_cast<uint8_t>(0xC0 | (cp >> 6)));
      Put(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
    } else {
      Put(static_cast<uint8_t>(0xE0 | (cp >> 12)));
      Put(static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F)));
      Put(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
    }
  }
  void PutFourByte(uint32_t cp) noexcept {
    Put(static_cast<uint8_t>(0xF0 | (cp >> 18)));
    Put(static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F)));
    Put(static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F)));
    Put(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
  }
  TSDByteArray Finish() {
    buffer_.SetLength(static_cast<int32_t>(used_) + 1);  // keeps the zero terminator
    return buffer_;
  }

 private:
  static int32_t Capacity(size_t needed) {
    if (needed >= static_cast<size_t>(std::numeric_limits<int32_t>::max()))
      QORX_RAISE(sd::kLength, unit::kObjects);
    return static_cast<int32_t>(needed + 1);
  }
  TSDByteArray buffer_;  // zero-filled, so the terminator is already there
  size_t used_ = 0;
};

bool IsContinuation(uint8_t b) noexcept {
  return (b & 0xC0) == 0x80;
}

}  // namespace

TSDByteArray Utf8ToModifiedUtf8(const uint8_t* data, size_t length) {
  // Each input byte yields at most 3 output bytes (an invalid byte becomes EF BF BD; a 4-byte
  // form becomes 6 bytes; NUL becomes 2).
  if (length > static_cast<size_t>(std::numeric_limits<int32_t>::max()) / 3)
    QORX_RAISE(sd::kLength, unit::kObjects);
  Writer out(length * 3);
  ByteReader in(data, length);

  // A decoder that replaces each maximal ill-formed subsequence by one U+FFFD: the bounds of
  // the next continuation byte narrow after E0, ED, F0 and F4 so that overlong forms,
  // encoded surrogates and values above U+10FFFF are refused at the first wrong byte.
  uint32_t cp = 0;
  int needed = 0;
  int seen = 0;
  uint8_t lower = 0x80;
  uint8_t upper = 0xBF;
  uint8_t b = 0;
  while (in.PeekU8(&b)) {
    if (needed == 0) {
      in.Skip(1);
      if (b < 0x80) {
        out.PutBmp(b);
      } else if (b >= 0xC2 && b <= 0xDF) {
        needed = 1;
        cp = b & 0x1Fu;
      } else if (b >= 0xE0 && b <= 0xEF) {
        if (b == 0xE0) lower = 0xA0;
        if (b == 0xED) upper = 0x9F;
        needed = 2;
        cp = b & 0x0Fu;
      } else if (b >= 0xF0 && b <= 0xF4) {
        if (b == 0xF0) lower = 0x90;
        if (b == 0xF4) upper = 0x8F;
        needed = 3;
        cp = b & 0x07u;
      } else {
        out.PutBmp(kReplacement);
      }
      continue;
    }
    if (b < lower || b > upper) {
      // The sequence so far is ill-formed; this byte starts afresh (it is not consumed).
      cp = 0;
      needed = seen = 0;
      lower = 0x80;
      upper = 0xBF;
      out.PutBmp(kReplacement);
      continue;
    }
    in.Skip(1);
    lower = 0x80;
    upper = 0xBF;
    cp = (cp << 6) | (b & 0x3Fu);
    if (++seen < needed) continue;
    if (cp < 0x10000) {
      out.PutBmp(cp);
    } else {
      const uint32_t v = cp - 0x10000;
      out.PutBmp(0xD800 + (v >> 10));
      out.PutBmp(0xDC00 + (v & 0x3FF));
    }
    cp = 0;
    needed = seen = 0;
  }
  if (needed != 0) out.PutBmp(kReplacement);
  return out.Finish();
}

namespace {

// One unit of modified UTF-8: a code point of at most 16 bits. False on malformed input or
// on the end of the bytes.
bool ReadUnit(ByteReader& in, uint32_t* unit, bool* malformed) {
  uint8_t b0 = 0;
  *malformed = false;
  if (!in.ReadU8(&b0)) return false;
  if (b0 >= 0x01 && b0 < 0x80) {
    *unit = b0;
    return true;
  }
  const uint8_t* rest = nullptr;
  if (b0 >= 0xC0 && b0 <= 0xDF) {
    if (in.ReadBytes(1, &rest) && IsContinuation(rest[0])) {
      *unit = ((b0 & 0x1Fu) << 6) | (rest[0] & 0x3Fu);
      // Only NUL may use a 2-byte form below U+0080.
      if (*unit >= 0x80 || *unit == 0) return true;
    }
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (in.ReadBytes(2, &rest) && IsContinuation(rest[0]) && IsContinuation(rest[1])) {
      *unit = ((b0 & 0x0Fu) << 12) | ((rest[0] & 0x3Fu) << 6) | (rest[1] & 0x3Fu);
      if (*unit >= 0x800) return true;
    }
  }
  *malformed = true;
  return false;
}

bool IsHighSurrogate(uint32_t u) noexcept {
  return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLowSurrogate(uint32_t u) noexcept {
  return u >= 0xDC00 && u <= 0xDFFF;
}

}  // namespace

bool ModifiedUtf8ToUtf8(const uint8_t* data, size_t length, TSDByteArray* out) {
  if (out == nullptr) return false;
  if (length >= static_cast<size_t>(std::numeric_limits<int32_t>::max())) return false;
  // A pair of 3-byte halves becomes one 4-byte form and a lone half one 3-byte U+FFFD, so the
  // text never grows.
  Writer text(length);
  ByteReader in(data, length);
  uint32_t unit = 0;
  bool malformed = false;
  while (ReadUnit(in, &unit, &malformed)) {
    if (unit == 0) return false;
    if (IsHighSurrogate(unit)) {
      ByteReader ahead = in;
      uint32_t next = 0;
      bool bad = false;
      if (ReadUnit(ahead, &next, &bad) && IsLowSurrogate(next)) {
        in = ahead;
        text.PutFourByte(0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
        continue;
      }
      unit = kReplacement;
    } else if (IsLowSurrogate(unit)) {
      unit = kReplacement;
    }
    text.PutBmp(unit);
  }
  if (malformed) return false;
  *out = text.Finish();
  return true;
}

}  // namespace qorx
