#pragma once

#include <cstddef>
#include <cstdint>

#include "core/ByteArray.h"

namespace qorx {

// A bounds-checked cursor over bytes we did not produce (card responses, certificates,
// files, page input). Every read checks once and advances only when it succeeds, so a
// malformed input can never make a parser read past its end.
//
// The reader does not own the bytes: keep the TSDByteArray it was made from alive.
class ByteReader {
 public:
  ByteReader() noexcept : data_(nullptr), size_(0) {}
  ByteReader(const uint8_t* data, size_t size) noexcept : data_(data), size_(data ? size : 0) {}
  explicit ByteReader(const TSDByteArray& bytes) noexcept
      : data_(bytes.Data()), size_(static_cast<size_t>(bytes.Length())) {}

  size_t Remaining() const noexcept { return size_; }
  bool Empty() const noexcept { return size_ == 0; }
  const uint8_t* Position() const noexcept { return data_; }

  bool PeekU8(uint8_t* out) const noexcept {
    if (size_ < 1) return false;
    *out = data_[0];
    return true;
  }
  bool ReadU8(uint8_t* out) noexcept {
    if (!PeekU8(out)) return false;
    Advance(1);
    return true;
  }
  bool ReadU16(uint16_t* out) noexcept {  // big-endian
    if (size_ < 2) return false;
    *out = static_cast<uint16_t>((data_[0] << 8) | data_[1]);
    Advance(2);
    return true;
  }
  bool Skip(size_t n) noexcept {
    if (size_ < n) return false;
    Advance(n);
    return true;
  }
  // Points `out` at the next `n` bytes and moves past them.
  bool ReadBytes(size_t n, const uint8_t** out) noexcept {
    if (size_ < n) return false;
    *out = data_;
    Advance(n);
    return true;
  }
  // A reader over the next `n` bytes; this reader moves past them.
  bool ReadReader(size_t n, ByteReader* out) noexcept {
    if (size_ < n) return false;
    *out = ByteReader(data_, n);
    Advance(n);
    return true;
  }
  bool CopyBytes(size_t n, void* dest) noexcept;

 private:
  void Advance(size_t n) noexcept {
    data_ += n;
    size_ -= n;
  }
  const uint8_t* data_;
  size_t size_;
};

inline bool ByteReader::CopyBytes(size_t n, void* dest) noexcept {
  const uint8_t* from;
  if (!ReadBytes(n, &from)) return false;
  for (size_t i = 0; i < n; ++i) static_cast<uint8_t*>(dest)[i] = from[i];
  return true;
}

}  // namespace qorx
