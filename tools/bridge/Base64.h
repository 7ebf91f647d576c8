#pragma once

// Base64 (the standard alphabet, padded) as a page's Uint8Array.prototype.toBase64 and btoa
// write it: how a file's bytes travel in the bridge's JSON.

#include <cstddef>
#include <cstdint>

namespace qorx::bridge {

// The most bytes `length` characters of base64 can hold.
constexpr size_t Base64MaxDecoded(size_t length) {
  return length / 4 * 3;
}

// Decodes `text` into `out`, which has room for Base64MaxDecoded(length) bytes, and sets
// *decoded. False for anything but canonical padded base64 (no white space, no bits left over
// in the last character); `out` may then hold part of the bytes.
bool DecodeBase64(const char* text, size_t length, uint8_t* out, size_t* decoded) noexcept;

}  // namespace qorx::bridge
