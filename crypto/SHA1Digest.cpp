#include "crypto/SHA1Digest.h"

#include <atomic>
#include <cstring>

#include "core/Wipe.h"

#if defined(__x86_64__) || defined(__i386__)
#define QORX_SHA1_EXTENSIONS 1
#include <cpuid.h>
#include <immintrin.h>
#else
#define QORX_SHA1_EXTENSIONS 0
#endif

namespace qorx {

namespace {

#define QORX_INLINE inline __attribute__((always_inline))

QORX_INLINE uint32_t Rol(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

// Compilers turn these shifts into a single byte-swapping load.
QORX_INLINE uint32_t LoadBigEndian(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

QORX_INLINE void StoreBigEndian(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// The message schedule is kept in a 16-word ring: W[t] replaces W[t-16] in place.
QORX_INLINE uint32_t Schedule(uint32_t* w, int t) {
  uint32_t x = w[(t + 13) & 15] ^ w[(t + 8) & 15] ^ w[(t + 2) & 15] ^ w[t & 15];
  return w[t & 15] = Rol(x, 1);
}

// One step each for the four round functions; the caller rotates the roles of a-e instead of
// moving values between variables. Choose is written as d ^ (b & (c ^ d)) and Majority as the
// sum of two disjoint terms, both one operation shorter than the textbook forms.
QORX_INLINE void Step0(uint32_t a, uint32_t& b, uint32_t c, uint32_t d, uint32_t& e, uint32_t w) {
  e += Rol(a, 5) + (d ^ (b & (c ^ d))) + w + 0x5A827999u;
  b = Rol(b, 30);
}
QORX_INLINE void Step1(uint32_t a, uint32_t& b, uint32_t c, uint32_t d, uint32_t& e, uint32_t w) {
  e += Rol(a, 5) + (b ^ c ^ d) + w + 0x6ED9EBA1u;
  b = Rol(b, 30);
}
QORX_INLINE void Step2(uint32_t a, uint32_t& b, uint32_t c, uint32_t d, uint32_t& e, uint32_t w) {
  e += Rol(a, 5) + (b & c) + (d & (b ^ c)) + w + 0x8F1BBCDCu;
  b = Rol(b, 30);
}
QORX_INLINE void Step3(uint32_t a, uint32_t& b, uint32_t c, uint32_t d, uint32_t& e, uint32_t w) {
  e += Rol(a, 5) + (b ^ c ^ d) + w + 0xCA62C1D6u;
  b = Rol(b, 30);
}

// Five steps bring a-e back to their starting roles; 16 such groups make the 80 steps.
#define QORX_FIVE(step, t, wordOf)      \
  step(a, b, c, d, e, wordOf(t));       \
  step(e, a, b, c, d, wordOf((t) + 1)); \
  step(d, e, a, b, c, wordOf((t) + 2)); \
  step(c, d, e, a, b, wordOf((t) + 3)); \
  step(b, c, d, e, a, wordOf((t) + 4))

#define QORX_LOADED(t) (w[t] = LoadBigEndian(block + 4 * (t)))
#define QORX_SCHEDULED(t) Schedule(w, t)

void CompressPortable(uint32_t state[5], const uint8_t* data, size_t blocks) noexcept {
  uint32_t w[16];
  for (; blocks > 0; --blocks, data += TSDSHA1Digest::kBlockLength) {
    const uint8_t* block = data;
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    QORX_FIVE(Step0, 0, QORX_LOADED);
    QORX_FIVE(Step0, 5, QORX_LOADED);
    QORX_FIVE(Step0, 10, QORX_LOADED);
    Step0(a, b, c, d, e, QORX_LOADED(15));
    Step0(e, a, b, c, d, QORX_SCHEDULED(16));
    Step0(d, e, a, b, c, QORX_SCHEDULED(17));
    Step0(c, d, e, a, b, QORX_SCHEDULED(18));
    Step0(b, c, d, e, a, QORX_SCHEDULED(19));
    QORX_FIVE(Step1, 20, QORX_SCHEDULED);
    QORX_FIVE(Step1, 25, QORX_SCHEDULED);
    QORX_FIVE(Step1, 30, QORX_SCHEDULED);
    QORX_FIVE(Step1, 35, QORX_SCHEDULED);
    QORX_FIVE(Step2, 40, QORX_SCHEDULED);
    QORX_FIVE(Step2, 45, QORX_SCHEDULED);
    QORX_FIVE(Step2, 50, QORX_SCHEDULED);
    QORX_FIVE(Step2, 55, QORX_SCHEDULED);
    QORX_FIVE(Step3, 60, QORX_SCHEDULED);
    QORX_FIVE(Step3, 65, QORX_SCHEDULED);
    QORX_FIVE(Step3, 70, QORX_SCHEDULED);
    QORX_FIVE(Step3, 75, QORX_SCHEDULED);
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
  }
  // The schedule holds message words, which may be secret.
  SecureWipe(w, sizeof w);
}

#undef QORX_SCHEDULED
#undef QORX_LOADED
#undef QORX_FIVE

#if QORX_SHA1_EXTENSIONS

// Four rounds per group g (0-19) on the SHA extensions. m[g % 4] holds message words
// 4g..4g+3; while group g runs, the schedule for the next groups advances:
// W[k] = msg2(msg1(W[k-4], W[k-3]) ^ W[k-2], W[k-1]) for the word vectors k = 4..19.
#define QORX_GROUP(g)                                                                              \
  do {                                                                                             \
    __m128i eNext = (g) == 0 ? _mm_add_epi32(e, m[0]) : _mm_sha1nexte_epu32(abcdPrev, m[(g) % 4]); \
    abcdPrev = abcd;                                                                               \
    abcd = _mm_sha1rnds4_epu32(abcd, eNext, (g) / 5);                                              \
    if ((g) >= 1 && (g) <= 16)                                                                     \
      m[((g) + 3) % 4] = _mm_sha1msg1_epu32(m[((g) + 3) % 4], m[(g) % 4]);                         \
    if ((g) >= 2 && (g) <= 17) m[((g) + 2) % 4] = _mm_xor_si128(m[((g) + 2) % 4], m[(g) % 4]);     \
    if ((g) >= 3 && (g) <= 18)                                                                     \
      m[((g) + 1) % 4] = _mm_sha1msg2_epu32(m[((g) + 1) % 4], m[(g) % 4]);                         \
  } while (0)

// Only this function is compiled for the SHA extensions; it runs only after the processor
// was found to have them.
__attribute__((target("sha,sse4.1"))) void CompressExtensions(uint32_t state[5],
                                                              const uint8_t* data,
                                                              size_t blocks) noexcept {
  // Reverses all 16 bytes: big-endian words, first word in the highest lane.
  const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090A0B0C0D0E0FLL);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
  __m128i e = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
  for (; blocks > 0; --blocks, data += TSDSHA1Digest::kBlockLength) {
    const __m128i abcdStart = abcd;
    const __m128i eStart = e;
    const __m128i* words = reinterpret_cast<const __m128i*>(data);
    __m128i m[4] = {_mm_shuffle_epi8(_mm_loadu_si128(words), byteSwap),
                    _mm_shuffle_epi8(_mm_loadu_si128(words + 1), byteSwap),
                    _mm_shuffle_epi8(_mm_loadu_si128(words + 2), byteSwap),
                    _mm_shuffle_epi8(_mm_loadu_si128(words + 3), byteSwap)};
    __m128i abcdPrev = abcd;
    QORX_GROUP(0);
    QORX_GROUP(1);
    QORX_GROUP(2);
    QORX_GROUP(3);
    QORX_GROUP(4);
    QORX_GROUP(5);
    QORX_GROUP(6);
    QORX_GROUP(7);
    QORX_GROUP(8);
    QORX_GROUP(9);
    QORX_GROUP(10);
    QORX_GROUP(11);
    QORX_GROUP(12);
    QORX_GROUP(13);
    QORX_GROUP(14);
    QORX_GROUP(15);
    QORX_GROUP(16);
    QORX_GROUP(17);
    QORX_GROUP(18);
    QORX_GROUP(19);
    e = _mm_sha1nexte_epu32(abcdPrev, eStart);
    abcd = _mm_add_epi32(abcd, abcdStart);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
  state[4] = static_cast<uint32_t>(_mm_extract_epi32(e, 3));
}

#undef QORX_GROUP

bool DetectExtensions() noexcept {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  const bool sse41 = (ecx & bit_SSE4_1) != 0 && (ecx & bit_SSSE3) != 0;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  const bool sha = (ebx & (1u << 29)) != 0;
  return sse41 && sha;
}

#else

bool DetectExtensions() noexcept {
  return false;
}

#endif  // QORX_SHA1_EXTENSIONS

using CompressFunction = void (*)(uint32_t state[5], const uint8_t* data, size_t blocks) noexcept;

std::atomic<Sha1Path> g_requestedPath{Sha1Path::Auto};

CompressFunction ActiveCompress() noexcept {
#if QORX_SHA1_EXTENSIONS
  if (ActiveSha1Path() == Sha1Path::Extensions) return CompressExtensions;
#endif
  return CompressPortable;
}

}  // namespace

bool Sha1ExtensionsSupported() noexcept {
  static const bool supported = DetectExtensions();
  return supported;
}

void SetSha1Path(Sha1Path path) noexcept {
  g_requestedPath.store(path, std::memory_order_relaxed);
}

Sha1Path ActiveSha1Path() noexcept {
  if (g_requestedPath.load(std::memory_order_relaxed) == Sha1Path::Portable)
    return Sha1Path::Portable;
  return Sha1ExtensionsSupported() ? Sha1Path::Extensions : Sha1Path::Portable;
}

TSDSHA1Digest::TSDSHA1Digest() noexcept
    : state_{0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u},
      bitCount_{0, 0},
      buffer_{} {}

TSDSHA1Digest::~TSDSHA1Digest() {
  SecureWipe(state_, sizeof state_);
  SecureWipe(bitCount_, sizeof bitCount_);
  SecureWipe(buffer_, sizeof buffer_);
}

void TSDSHA1Digest::Update(const void* bytes, size_t length) noexcept {
  if (length == 0) return;
  const uint8_t* in = static_cast<const uint8_t*>(bytes);
  size_t index = (bitCount_[0] >> 3) & (kBlockLength - 1);

  // The bit count is a 64-bit number kept as two words; length * 8 is split the same way so
  // that lengths of 512 MiB and more are counted in full.
  const uint32_t lowBits = static_cast<uint32_t>(length << 3);
  bitCount_[0] += lowBits;
  if (bitCount_[0] < lowBits) ++bitCount_[1];
  bitCount_[1] += static_cast<uint32_t>(length >> 29);

  if (index + length < kBlockLength) {
    std::memcpy(buffer_ + index, in, length);
    return;
  }
  const CompressFunction compress = ActiveCompress();
  size_t used = 0;
  if (index != 0) {
    used = kBlockLength - index;
    std::memcpy(buffer_ + index, in, used);
    compress(state_, buffer_, 1);
  }
  // All complete blocks of the input in one call, straight from the caller's memory.
  const size_t blocks = (length - used) / kBlockLength;
  if (blocks > 0) compress(state_, in + used, blocks);
  used += blocks * kBlockLength;
  std::memcpy(buffer_, in + used, length - used);
}

void TSDSHA1Digest::Update(const TSDByteArray& data) noexcept {
  Update(data.Data(), static_cast<size_t>(data.Length()));
}

void TSDSHA1Digest::Final(uint8_t out[kDigestLength]) noexcept {
  uint8_t countBytes[8];
  StoreBigEndian(countBytes, bitCount_[1]);
  StoreBigEndian(countBytes + 4, bitCount_[0]);

  // 0x80, then zeros up to 56 bytes into a block, then the 64-bit bit count.
  static const uint8_t kPadding[kBlockLength] = {0x80};
  const size_t index = (bitCount_[0] >> 3) & (kBlockLength - 1);
  Update(kPadding, index < 56 ? 56 - index : 120 - index);
  Update(countBytes, sizeof countBytes);

  for (int i = 0; i < 5; ++i) StoreBigEndian(out + 4 * i, state_[i]);

  SecureWipe(buffer_, sizeof buffer_);
  SecureWipe(state_, sizeof state_);
  SecureWipe(bitCount_, sizeof bitCount_);
  SecureWipe(countBytes, sizeof countBytes);
}

}  // namespace qorx
