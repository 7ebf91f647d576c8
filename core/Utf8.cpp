#include "core/Utf8.h"

#include <cassert>
#include <limits>

#include "core/Exceptions.h"

namespace qorx::utf8 {

Step Decode(const uint8_t* data, size_t size, Broken broken, Form form) noexcept {
  if (size == 0) return {kReplacement, 0, false};
  const uint8_t lead = data[0];
  if (lead < 0x80) return {lead, 1, true};
  const auto bad = [&](size_t taken) {
    return Step{kReplacement, broken == Broken::kEachByte ? 1 : taken, false};
  };
  size_t need;
  uint32_t cp, min;
  if (lead >= 0xC0 && lead <= 0xDF) {
    need = 1, cp = lead & 0x1Fu, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2, cp = lead & 0x0Fu, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF7) {
    need = 3, cp = lead & 0x07u, min = 0x10000;
  } else {
    return bad(1);
  }
  // C0 and C1 only ever start an overlong form, F5..F7 only values beyond U+10FFFF.
  if (broken != Broken::kAnnouncedAnyLead && (lead < 0xC2 || lead > 0xF4)) return bad(1);
  // The second byte's range narrows after these leads, so that an overlong form, an encoded
  // surrogate or a value above U+10FFFF ends at its first byte that is wrong.
  uint8_t lower = 0x80, upper = 0xBF;
  if (broken == Broken::kMaximalSubpart) {
    if (lead == 0xE0) lower = 0xA0;
    if (lead == 0xED && form == Form::kUtf8) upper = 0x9F;
    if (lead == 0xF0) lower = 0x90;
    if (lead == 0xF4) upper = 0x8F;
  }
  size_t taken = 1;
  for (; taken <= need && taken < size; ++taken) {
    const uint8_t next = data[taken];
    if (next < lower || next > upper) break;
    cp = cp << 6 | (next & 0x3Fu);
    lower = 0x80, upper = 0xBF;
  }
  if (taken <= need || cp < min || cp > kMaxCodePoint || (form == Form::kUtf8 && IsSurrogate(cp)))
    return bad(taken);
  return {cp, taken, true};
}

size_t EncodedLength(uint32_t cp) noexcept {
  return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

size_t Encode(uint32_t cp, uint8_t out[4]) noexcept {
  assert(cp <= kMaxCodePoint);
  const size_t n = EncodedLength(cp);
  static const uint8_t kLeadMark[] = {0, 0, 0xC0, 0xE0, 0xF0};
  for (size_t i = n - 1; i > 0; --i, cp >>= 6) out[i] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
  out[0] = static_cast<uint8_t>(kLeadMark[n] | cp);
  return n;
}

void Append(std::string* out, uint32_t cp) {
  uint8_t bytes[4];
  out->append(reinterpret_cast<const char*>(bytes), Encode(cp, bytes));
}

namespace {
int32_t TextSize(size_t capacity) {
  if (capacity >= static_cast<size_t>(std::numeric_limits<int32_t>::max()))
    QORX_RAISE(sd::kLength, unit::kObjects);
  return static_cast<int32_t>(capacity + 1);
}
}  // namespace

TextWriter::TextWriter(size_t capacity)
    : buffer_(TextSize(capacity)), bytes_(buffer_.WritableData()), capacity_(capacity) {}

void TextWriter::Byte(uint8_t b) noexcept {
  if (used_ < capacity_) bytes_[used_++] = b;
}

void TextWriter::CodePoint(uint32_t cp) noexcept {
  if (capacity_ - used_ >= EncodedLength(cp)) used_ += Encode(cp, bytes_ + used_);
}

TSDByteArray TextWriter::Finish() {
  buffer_.SetLength(static_cast<int32_t>(used_) + 1);  // the bytes after them were zero
  return buffer_;
}

TSDByteArray FromUtf16(const char16_t* text, size_t length) {
  if (length > static_cast<size_t>(std::numeric_limits<int32_t>::max() / 3 - 1))
    QORX_RAISE(sd::kNoMemory, unit::kObjects);
  // A 4-byte form comes from two units, so 3 bytes per unit is always room enough.
  TextWriter out(length * 3);
  for (size_t i = 0; i < length; ++i) {
    uint32_t cp = text[i];
    if (IsHighSurrogate(cp) && i + 1 < length && IsLowSurrogate(text[i + 1])) {
      cp = JoinSurrogates(cp, text[++i]);
    } else if (IsSurrogate(cp)) {
      cp = kReplacement;
    }
    out.CodePoint(cp);
  }
  return out.Finish();
}

size_t ToUtf16(const uint8_t* data, size_t size, char16_t* out, Broken broken, Form form) noexcept {
  size_t units = 0;
  for (size_t i = 0; i < size;) {
    const Step step = Decode(data + i, size - i, broken, form);
    i += step.length;
    if (step.cp >= 0x10000) {
      if (out != nullptr) {
        out[units] = static_cast<char16_t>(HighSurrogate(step.cp));
        out[units + 1] = static_cast<char16_t>(LowSurrogate(step.cp));
      }
      units += 2;
    } else {
      if (out != nullptr) out[units] = static_cast<char16_t>(step.cp);
      ++units;
    }
  }
  return units;
}

namespace {

// Calls put(cp) for each character of a CESU-8 text, halves joined.
template <class Put>
void ForEachJoined(const uint8_t* data, size_t size, Put&& put) {
  for (size_t i = 0; i < size;) {
    Step step = Decode(data + i, size - i, Broken::kMaximalSubpart, Form::kCesu8);
    i += step.length;
    if (IsHighSurrogate(step.cp) && i < size) {
      const Step next = Decode(data + i, size - i, Broken::kMaximalSubpart, Form::kCesu8);
      if (IsLowSurrogate(next.cp)) {
        step.cp = JoinSurrogates(step.cp, next.cp);
        i += next.length;
      }
    }
    put(IsSurrogate(step.cp) ? kReplacement : step.cp);
  }
}

}  // namespace

TSDByteArray Cesu8ToUtf8(const uint8_t* data, size_t size) {
  // Measured first: a broken byte grows to three, and a text of the JVM's may be large.
  size_t length = 0;
  ForEachJoined(data, size, [&](uint32_t cp) { length += EncodedLength(cp); });
  TextWriter out(length);
  ForEachJoined(data, size, [&](uint32_t cp) { out.CodePoint(cp); });
  return out.Finish();
}

}  // namespace qorx::utf8
