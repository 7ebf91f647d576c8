#include "crypto/SHA1Digest.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace qorx {

void PrintTo(Sha1Path path, std::ostream* os) {
  *os << (path == Sha1Path::Portable     ? "Portable"
          : path == Sha1Path::Extensions ? "Extensions"
                                         : "Auto");
}

// Reads the context that Final and the destructor must leave zeroed.
struct SHA1DigestPeer {
  static bool ContextIsZero(const TSDSHA1Digest& d) {
    auto zero = [](const void* p, size_t n) {
      const uint8_t* b = static_cast<const uint8_t*>(p);
      return std::all_of(b, b + n, [](uint8_t x) { return x == 0; });
    };
    return zero(d.state_, sizeof d.state_) && zero(d.bitCount_, sizeof d.bitCount_) &&
           zero(d.buffer_, sizeof d.buffer_);
  }
  static uint32_t* BitCount(TSDSHA1Digest& d) { return d.bitCount_; }
};

namespace {

using Bytes = std::vector<uint8_t>;

std::string Hex(const uint8_t* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  return s;
}

// Our digest, fed in pieces whose sizes cycle through `pieces` (empty: one Update).
std::string Ours(const Bytes& msg, const std::vector<size_t>& pieces = {}) {
  TSDSHA1Digest d;
  if (pieces.empty()) {
    d.Update(msg.data(), msg.size());
  } else {
    for (size_t pos = 0, i = 0; pos < msg.size(); ++i) {
      size_t n = std::min(pieces[i % pieces.size()], msg.size() - pos);
      d.Update(msg.data() + pos, n);
      pos += n;
    }
  }
  uint8_t out[TSDSHA1Digest::kDigestLength];
  d.Final(out);
  return Hex(out, sizeof out);
}

std::string OpenSsl(const Bytes& msg) {
  uint8_t out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EXPECT_EQ(EVP_Digest(msg.data(), msg.size(), out, &len, EVP_sha1(), nullptr), 1);
  return Hex(out, len);
}

Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

Bytes Random(std::mt19937& rng, size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

class SHA1DigestTest : public ::testing::TestWithParam<Sha1Path> {
 protected:
  void SetUp() override {
    if (GetParam() == Sha1Path::Extensions && !Sha1ExtensionsSupported())
      GTEST_SKIP() << "this processor has no SHA extensions";
    SetSha1Path(GetParam());
    ASSERT_EQ(ActiveSha1Path(), GetParam());
  }
  void TearDown() override { SetSha1Path(Sha1Path::Auto); }
};

TEST_P(SHA1DigestTest, Fips180Vectors) {
  const struct {
    std::string message;
    const char* digest;
  } kCases[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
       "lmnopqrsmnopqrstnopqrstu",
       "a49b2446a02c645bf419f995b67091253a04a259"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(Ours(Text(c.message)), c.digest) << c.message.size() << " bytes";
    EXPECT_EQ(Ours(Text(c.message), {1}), c.digest) << c.message.size() << " bytes, bytewise";
  }
}

// Pieces that straddle, fill and overrun the block buffer in every way.
TEST_P(SHA1DigestTest, PiecewiseUpdateMatchesOneUpdate) {
  std::mt19937 rng(1);
  const Bytes msg = Random(rng, 1000);
  const std::string whole = OpenSsl(msg);
  const std::vector<std::vector<size_t>> kPieces = {
      {1}, {63}, {64}, {65}, {1, 63, 64, 65, 0, 127, 3, 200}, {55, 9}, {128, 1}};
  for (const auto& pieces : kPieces)
    EXPECT_EQ(Ours(msg, pieces), whole) << "first piece " << pieces[0];
}

// Every length around the padding boundaries (55/56 bytes into a block) and several blocks.
TEST_P(SHA1DigestTest, EveryLengthUpToFiveBlocks) {
  std::mt19937 rng(2);
  const Bytes msg = Random(rng, 320);
  for (size_t n = 0; n <= msg.size(); ++n) {
    const Bytes prefix(msg.begin(), msg.begin() + static_cast<long>(n));
    ASSERT_EQ(Ours(prefix), OpenSsl(prefix)) << n << " bytes";
  }
}

TEST_P(SHA1DigestTest, RandomInputsMatchOpenSsl) {
  std::mt19937 rng(3);
  for (int i = 0; i < 200; ++i) {
    const Bytes msg = Random(rng, rng() % 20000);
    const std::vector<size_t> pieces = {rng() % 300 + 1, rng() % 300 + 1, rng() % 5000 + 1};
    ASSERT_EQ(Ours(msg, pieces), OpenSsl(msg)) << msg.size() << " bytes";
  }
}

TEST_P(SHA1DigestTest, ByteArrayUpdateHashesTheWholeContent) {
  const TSDByteArray abc("abc");  // a text: 'a', 'b', 'c' and the NUL
  TSDSHA1Digest d;
  d.Update(abc);
  d.Update(TSDByteArray());
  uint8_t out[TSDSHA1Digest::kDigestLength];
  d.Final(out);
  EXPECT_EQ(Hex(out, sizeof out), OpenSsl(Bytes{'a', 'b', 'c', 0}));
}

// The bit count is a 64-bit number in two words: the low word must carry into the high one.
TEST_P(SHA1DigestTest, BitCountCarriesIntoTheHighWord) {
  TSDSHA1Digest d;
  uint32_t* count = SHA1DigestPeer::BitCount(d);
  count[0] = 0xFFFFFFF0u;  // 62 bytes into a block
  const uint8_t four[4] = {1, 2, 3, 4};
  d.Update(four, sizeof four);
  EXPECT_EQ(count[0], 0x10u);
  EXPECT_EQ(count[1], 1u);
}

TEST_P(SHA1DigestTest, FinalWipesTheContext) {
  std::mt19937 rng(4);
  const Bytes msg = Random(rng, 100);  // leaves 36 bytes in the block buffer
  TSDSHA1Digest d;
  d.Update(msg.data(), msg.size());
  ASSERT_FALSE(SHA1DigestPeer::ContextIsZero(d));
  uint8_t out[TSDSHA1Digest::kDigestLength];
  d.Final(out);
  EXPECT_TRUE(SHA1DigestPeer::ContextIsZero(d));
}

// A digest dropped without Final must not leave its input behind either.
TEST_P(SHA1DigestTest, DestructorWipesAnUnfinishedDigest) {
  alignas(TSDSHA1Digest) unsigned char storage[sizeof(TSDSHA1Digest)];
  const Bytes secret(40, 0xA5);
  auto* d = ::new (storage) TSDSHA1Digest;
  d->Update(secret.data(), secret.size());
  ASSERT_NE(std::search(storage, storage + sizeof storage, secret.begin(), secret.end()),
            storage + sizeof storage);
  d->~TSDSHA1Digest();
  EXPECT_EQ(std::search(storage, storage + sizeof storage, secret.begin(), secret.begin() + 8),
            storage + sizeof storage);
}

INSTANTIATE_TEST_SUITE_P(Paths, SHA1DigestTest,
                         ::testing::Values(Sha1Path::Portable, Sha1Path::Extensions),
                         [](const ::testing::TestParamInfo<Sha1Path>& p) {
                           return p.param == Sha1Path::Portable ? "Portable" : "Extensions";
                         });

TEST(Sha1PathTest, PortableCanAlwaysBeForced) {
  SetSha1Path(Sha1Path::Portable);
  EXPECT_EQ(ActiveSha1Path(), Sha1Path::Portable);
  SetSha1Path(Sha1Path::Auto);
  EXPECT_EQ(ActiveSha1Path(),
            Sha1ExtensionsSupported() ? Sha1Path::Extensions : Sha1Path::Portable);
}

}  // namespace
}  // namespace qorx
