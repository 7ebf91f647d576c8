#pragma once

#include <cstddef>
#include <cstdint>

#include "core/ByteArray.h"
#include "core/Objects.h"

namespace qorx {

// Which compression function the digests use. Auto takes the x86 SHA extensions when the
// processor has them; Portable forces the plain code, Extensions asks for the extensions
// (falling back to the plain code on a processor without them). Both give identical digests;
// the switch is process-wide and exists so tests and benchmarks can exercise each path.
enum class Sha1Path { Auto, Portable, Extensions };
void SetSha1Path(Sha1Path path) noexcept;
// The path digests use now: Portable or Extensions, never Auto.
Sha1Path ActiveSha1Path() noexcept;
// Whether this processor has the SHA extensions (and the SSE4.1 they are used with).
bool Sha1ExtensionsSupported() noexcept;

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
