#pragma once

#include <cstddef>
#include <cstdint>

#include "core/ByteArray.h"
#include "core/Objects.h"

namespace qorx {

// SHA-1 (FIPS 180-1), our own implementation: used for text and file hashing and by the card
// application's protocols. One object computes one digest: Final wipes the context, so a
// further digest needs a new object.
class TSDSHA1Digest : public TSDObject {
 public:
  static constexpr size_t kDigestLength = 20;
  static constexpr size_t kBlockLength = 64;

  TSDSHA1Digest() noexcept;
  TSDSHA1Digest(const TSDSHA1Digest&) = delete;
  TSDSHA1Digest& operator=(const TSDSHA1Digest&) = delete;
  // Wipes the context, so input of a digest that was never finished does not linger either.
  ~TSDSHA1Digest() override;

  void Update(const void* bytes, size_t length) noexcept;
  void Update(const TSDByteArray& data) noexcept;
  // Writes the 20-byte digest to `out`, then zeroes the whole context.
  void Final(uint8_t out[kDigestLength]) noexcept;

 private:
  friend struct SHA1DigestPeer;  // lets the tests look at the context after Final

  uint32_t state_[5];             // chaining values H0-H4
  uint32_t bitCount_[2];          // message bits hashed so far: low word, then high word
  uint8_t buffer_[kBlockLength];  // input not yet compressed
};

}  // namespace qorx
