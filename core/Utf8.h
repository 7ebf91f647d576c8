#pragma once

// The one UTF-8 codec of the code base. Texts inside the library are UTF-8; around it they come
// as UTF-16 (BSTRs), as CESU-8 (the JVM's and the script engine's texts, where a character
// beyond U+FFFF is two 3-byte surrogate halves) or as bytes of unknown origin (a page, a card,
// a file name). Everything that turns one into the other decodes with Decode and encodes with
// Encode, so that "what is a character" is decided in one place.

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/ByteArray.h"

namespace qorx::utf8 {

constexpr uint32_t kReplacement = 0xFFFD;
constexpr uint32_t kMaxCodePoint = 0x10FFFF;

constexpr bool IsSurrogate(uint32_t cp) {
  return cp >= 0xD800 && cp <= 0xDFFF;
}
constexpr bool IsHighSurrogate(uint32_t cp) {
  return cp >= 0xD800 && cp <= 0xDBFF;
}
constexpr bool IsLowSurrogate(uint32_t cp) {
  return cp >= 0xDC00 && cp <= 0xDFFF;
}
constexpr uint32_t JoinSurrogates(uint32_t high, uint32_t low) {
  return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}
constexpr uint32_t HighSurrogate(uint32_t cp) {
  return 0xD800 + ((cp - 0x10000) >> 10);
}
constexpr uint32_t LowSurrogate(uint32_t cp) {
  return 0xDC00 + ((cp - 0x10000) & 0x3FF);
}

// Which sequences decode.
enum class Form : uint8_t {
  kUtf8,   // scalar values in their shortest form
  kCesu8,  // those, and surrogate halves standing on their own in their 3-byte form
};

// How much of a broken sequence one U+FFFD stands for. Every policy finds the same sequences
// broken; the callers differ only in how many replacements a broken one yields, and each keeps
// what its users have seen so far.
enum class Broken : uint8_t {
  // Up to the first byte that cannot continue it, as Unicode recommends: E0 80 80 is three.
  kMaximalSubpart,
  // A lead byte C2..F4 and the continuation bytes after it, as many as it announces: E0 80 80
  // is one, C0 80 two.
  kAnnounced,
  // The same with C0, C1 and F5..F7 taken as lead bytes too: C0 80 is one.
  kAnnouncedAnyLead,
  // Its first byte: decoding resumes at the next one.
  kEachByte,
};

// One decoded character: `cp` is kReplacement when the sequence is broken.
struct Step {
  uint32_t cp;
  size_t length;  // bytes taken: at least 1 (0 only for an empty input)
  bool valid;
};

// Decodes the character at the start of `data`, reading no further than `size` bytes.
Step Decode(const uint8_t* data, size_t size, Broken broken = Broken::kMaximalSubpart,
            Form form = Form::kUtf8) noexcept;

// The 1- to 4-byte form of `cp` (at most kMaxCodePoint; a surrogate half takes the 3-byte form
// of CESU-8). Returns the number of bytes written to `out`.
size_t Encode(uint32_t cp, uint8_t out[4]) noexcept;
size_t EncodedLength(uint32_t cp) noexcept;
void Append(std::string* out, uint32_t cp);

// Builds a text (bytes, then a NUL) in one buffer sized up front. A growing buffer would leave
// copies of a secret code behind; this one is never copied and wipes itself.
class TextWriter {
 public:
  // `capacity` bytes, the NUL not counted; raises 0xC400 when a text cannot be that long.
  explicit TextWriter(size_t capacity);
  // What does not fit in the capacity any more is dropped.
  void Byte(uint8_t b) noexcept;
  void CodePoint(uint32_t cp) noexcept;
  TSDByteArray Finish();

 private:
  TSDByteArray buffer_;  // zero-filled: the NUL is there already
  uint8_t* bytes_;
  size_t capacity_;
  size_t used_ = 0;
};

// UTF-16 -> UTF-8 text; an unpaired surrogate becomes U+FFFD.
TSDByteArray FromUtf16(const char16_t* text, size_t length);

// UTF-8 (or CESU-8) -> UTF-16 code units, one U+FFFD for each broken sequence as `broken`
// cuts them. Writes the units to `out` unless it is null, and returns their number, which is
// never more than `size`: count first, then convert into exactly the room needed.
size_t ToUtf16(const uint8_t* data, size_t size, char16_t* out, Broken broken, Form form) noexcept;

// CESU-8 -> UTF-8 text: a pair of surrogate halves becomes one 4-byte form, a lone half
// U+FFFD, a broken sequence U+FFFD for each maximal subpart; 4-byte forms pass as they are.
TSDByteArray Cesu8ToUtf8(const uint8_t* data, size_t size);

}  // namespace qorx::utf8
