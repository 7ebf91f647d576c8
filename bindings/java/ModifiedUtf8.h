#pragma once

#include <cstddef>
#include <cstdint>

#include "core/ByteArray.h"

namespace qorx {

// Texts inside the library are 8-bit UTF-8; the JVM speaks "modified UTF-8" (NUL as C0 80,
// characters beyond U+FFFF as two 3-byte surrogate halves, no 4-byte forms). These two pure
// functions translate between them so that no byte sequence of ours can reach NewStringUTF
// in a form the JVM might misread, and so that Java texts reach the library as plain UTF-8.

// Any bytes -> valid modified UTF-8, returned as a NUL-terminated text. Every maximal
// ill-formed subsequence (stray continuation bytes, overlong forms, encoded surrogates,
// values above U+10FFFF, sequences cut short) becomes one U+FFFD.
TSDByteArray Utf8ToModifiedUtf8(const uint8_t* data, size_t length);

// Modified UTF-8 from the JVM -> UTF-8 in `out` (a NUL-terminated text). Surrogate pairs are
// joined into 4-byte forms; a lone surrogate becomes U+FFFD. Returns false, leaving `out`
// untouched, when the text holds U+0000 (a NUL inside a text would silently cut it short) or
// bytes that no JVM produces.
bool ModifiedUtf8ToUtf8(const uint8_t* data, size_t length, TSDByteArray* out);

}  // namespace qorx
