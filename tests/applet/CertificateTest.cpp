// Certificate parsing and validation against the embedded CAs, the signature check (with
// forgeries made without any private key) and the secure-channel command.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <memory>

#include "applet/CaCertificates.h"
#include "applet/HostAppletService.h"
#include "applet/SecureChannelProtocol.h"
#include "applet/X509Certificate.h"
#include "crypto/KeyVault.h"
#include "crypto/SHA1Digest.h"
#include "tests/applet/PkiData.h"
#include "tests/support/TestSupport.h"

namespace qorx {
namespace {

using test::CardCertificate;
using test::CodeOf;
using test::Hex;
using test::HexOf;

ApplicationId BankApplication() {
  ApplicationId id{};
  id.length = 7;
  const uint8_t aid[] = {0xA0, 0x00, 0x00, 0x09, 0x51, 0x10, 0x01};
  std::copy(std::begin(aid), std::end(aid), id.aid);
  return id;
}

X509Certificate Parsed(const TSDByteArray& der) {
  X509Certificate c;
  c.Parse(der);
  return c;
}

X509Certificate Ca(int entry) {
  const CaCertificate& ca = kCaCertificates[entry];
  return Parsed(TSDByteArray(ca.certificate, static_cast<int32_t>(ca.length)));
}

class CertificateTest : public ::testing::Test {
 protected:
  TSDSVCKeySetKeyVault vault_{"test"};

  // ValidateCertificate's code (0 when it passed) and the key it exported.
  uint16_t Validate(const TSDByteArray& der, int productionOnly = 0, TSDByteArray* key = nullptr) {
    TQorHostAppletServiceV2 host(BankApplication(), &vault_);
    TSDByteArray out;
    const uint16_t code = CodeOf([&] { host.ValidateCertificate(der, productionOnly, out); });
    if (key != nullptr) *key = out;
    return code;
  }
};

TEST_F(CertificateTest, EveryCardProfileAgainstTheEmbeddedAuthorities) {
  const auto profiles = test::CardProfiles();
  ASSERT_GE(profiles.size(), 14u);
  for (const auto& p : profiles) {
    SCOPED_TRACE(p.name);
    const TSDByteArray der = CardCertificate(p.name);
    ASSERT_GT(der.Length(), 0);
    const bool good = p.issuer != "rogue" && p.name != "tampered";
    TSDByteArray key;
    EXPECT_EQ(Validate(der, 0, &key), good ? 0 : sd::kMalformed);
    const X509Certificate c = Parsed(der);
    // Every profile is DER as its CA signed it: the rebuilt part is the received one.
    EXPECT_EQ(HexOf(c.RebuildToBeSigned().Encoding()), HexOf(c.ReceivedToBeSigned()));
    TSDByteArray serial;
    c.GetSerialNumber(serial);
    if (p.pan != "-") {
      EXPECT_EQ(HexOf(serial), p.pan + p.sequence);
    }
    if (good) {
      EXPECT_EQ(key.ByteAt(0), 0xA1);
      EXPECT_EQ(key.ByteAt(1), 0x80) << "a 1024-bit card key";
    }
  }
  // None of the checks above left a key behind.
  EXPECT_EQ(vault_.NodeCount(), 0);
}

TEST_F(CertificateTest, AuthorityChoice) {
  // Each embedded CA's own certificate names itself: production ones are chosen in either
  // mode, test ones only when test CAs are allowed.
  for (int i = 0; i < kCaCertificateCount; ++i) {
    const TSDByteArray id(kCaCertificates[i].keyIdentifier, 20);
    const TSDByteArray aki = Hex("30168014").Concat(id);
    EXPECT_EQ(TQorHostAppletServiceV2::ChooseAuthority(aki, 0), i);
    EXPECT_EQ(TQorHostAppletServiceV2::ChooseAuthority(aki, 1),
              kCaCertificates[i].production ? i : 0);
    EXPECT_EQ(TQorHostAppletServiceV2::ChooseAuthority(id.Mid(0, 19), 0), 0) << "too short";
  }
  EXPECT_EQ(kCaCertificates[0].production, 0u);
  EXPECT_EQ(Ca(0).PublicKeyLength(), 128);
  EXPECT_EQ(Ca(4).PublicKeyLength(), 256);
  // A card of test CA 1 checked with production CAs only falls back to entry 0 and fails.
  EXPECT_EQ(Validate(CardCertificate("ca1"), 1), sd::kMalformed);
  EXPECT_EQ(Validate(CardCertificate("ca2"), 1), 0);
  EXPECT_EQ(Validate(CardCertificate("default"), 1), 0) << "no match: entry 0 all the same";
}

TEST_F(CertificateTest, FieldsOfTheDefaultCard) {
  const X509Certificate c = Parsed(CardCertificate("default"));
  TSDByteArray from, to;
  int fromTag = 0, toTag = 0;
  c.GetValidity(from, to, &fromTag, &toTag);
  EXPECT_STREQ(from.CStr(), "200101000000Z");
  EXPECT_STREQ(to.CStr(), "491231235959Z");
  EXPECT_EQ(fromTag, 0x17);
  EXPECT_EQ(c.PublicKeyLength(), 128);
  int critical = -1;
  TSDByteArray value;
  ASSERT_TRUE(c.FindExtension(Hex("551D23"), critical, value));
  EXPECT_EQ(critical, 0);
  EXPECT_EQ(HexOf(value.Mid(value.Length() - 20, 20)),
            HexOf(TSDByteArray(kCaCertificates[0].keyIdentifier, 20)));
  TSDByteArray oid;
  EXPECT_FALSE(c.GetExtension(99, oid, critical, value));
  EXPECT_FALSE(c.FindExtension(Hex("551D99"), critical, value));

  const X509Certificate later = Parsed(CardCertificate("generalized"));
  later.GetValidity(from, to, &fromTag, &toTag);
  EXPECT_EQ(toTag, 0x18);
  EXPECT_STREQ(to.CStr(), "20510101000000Z");

  const X509Certificate v1 = Parsed(CardCertificate("v1"));
  EXPECT_EQ(v1.EncodingLength(), 0) << "no version element";
  EXPECT_FALSE(v1.GetExtension(0, oid, critical, value));

  TSDByteArray serial;
  Parsed(CardCertificate("serial10")).GetSerialNumber(serial);
  EXPECT_EQ(HexOf(serial), "987654321098765402") << "the INTEGER's leading 00 is dropped";
}

// Every prefix and a byte flipped at every position: a status, never a read out of range
// (the sanitizer build runs this too).
TEST_F(CertificateTest, DamagedCertificatesAreRefused) {
  const TSDByteArray der = CardCertificate("default");
  for (int32_t n = 0; n < der.Length(); ++n) {
    EXPECT_EQ(Validate(der.Mid(0, n)), sd::kMalformed) << "prefix " << n;
  }
  EXPECT_EQ(Validate(der.Concat(Hex("00"))), sd::kMalformed) << "trailing byte";
  // The outer signature algorithm is not covered by the signature, nor looked at.
  const int32_t tbsEnd = Parsed(der).ReceivedToBeSigned().Length() + 4;
  for (int32_t i = 0; i < der.Length(); i += 7) {
    if (i >= tbsEnd && i < tbsEnd + 15) continue;
    TSDByteArray bad = der;
    bad.SetByte(i, static_cast<uint8_t>(bad.ByteAt(i) ^ 0x01));
    EXPECT_EQ(Validate(bad), sd::kMalformed) << "byte " << i;
  }
  // A BER long form where DER has the short one.
  EXPECT_EQ(Validate(Hex("30 81 03 02 01 01")), sd::kMalformed);
  EXPECT_EQ(vault_.NodeCount(), 0);
}

TEST_F(CertificateTest, RepeatedValidationKeepsTheVaultFlat) {
  const TSDByteArray der = CardCertificate("default");
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(Validate(der), 0);
  EXPECT_EQ(vault_.NodeCount(), 0);
}

// ---- The signature check ------------------------------------------------------------------

struct BnFree {
  void operator()(BIGNUM* b) const { BN_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

// The integer cube root, rounded up.
Bn CubeRootUp(const BIGNUM* n) {
  BN_CTX* ctx = BN_CTX_new();
  Bn low(BN_new()), high(BN_new()), mid(BN_new()), cube(BN_new());
  BN_zero(low.get());
  BN_lshift(high.get(), BN_value_one(), (BN_num_bits(n) + 2) / 3 + 1);
  // Invariant: low^3 < n <= high^3.
  while (true) {
    BN_sub(mid.get(), high.get(), low.get());
    if (BN_is_one(mid.get())) break;
    BN_add(mid.get(), low.get(), high.get());
    BN_rshift1(mid.get(), mid.get());
    BN_sqr(cube.get(), mid.get(), ctx);
    BN_mul(cube.get(), cube.get(), mid.get(), ctx);
    if (BN_cmp(cube.get(), n) < 0) {
      BN_copy(low.get(), mid.get());
    } else {
      BN_copy(high.get(), mid.get());
    }
  }
  BN_CTX_free(ctx);
  return high;
}

TSDByteArray Padded(const BIGNUM* n, int length) {
  TSDByteArray out(length);
  BN_bn2binpad(n, out.WritableData(), length);
  return out;
}

class SignatureCheckTest : public CertificateTest {
 protected:
  void SetUp() override {
    ca0_ = Ca(0);
    data_ = Parsed(CardCertificate("default")).RebuildToBeSigned().Encoding();
    uint8_t digest[20];
    TSDSHA1Digest sha;
    sha.Update(data_);
    sha.Final(digest);
    digestInfo_ = Sha1DigestInfo(digest);
  }

  bool Check(const TSDByteArray& signature) {
    TSDScratchKey key(vault_, keytype::kRsaPublic, 128);
    ca0_.ExportPublicKey(*key.Get());
    return CheckSignature(*key.Get(), data_, signature);
  }
  // The CA 0 key's public operation on `signature`: what a verifier recovers.
  TSDByteArray Recover(const TSDByteArray& signature) {
    TSDScratchKey key(vault_, keytype::kRsaPublic, 128);
    ca0_.ExportPublicKey(*key.Get());
    TSDByteArray block;
    key->PublicOperation(block, signature);
    return block;
  }
  // A real signature of CA 0 over an arbitrary 128-byte block (its private key from test data).
  TSDByteArray SignRaw(const TSDByteArray& block) {
    FILE* f = std::fopen(test::PkiPath("ca0.key").c_str(), "r");
    EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    TSDByteArray out(128);
    size_t n = 128;
    EXPECT_EQ(EVP_PKEY_sign_init(ctx), 1);
    EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING), 1);
    EXPECT_EQ(EVP_PKEY_sign(ctx, out.WritableData(), &n, block.Data(), 128), 1);
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
    return out;
  }
  // 00 01, `ffs` FF bytes, 00, `body`, then `tail`, at 128 bytes (body shortened to fit).
  static TSDByteArray Block(int ffs, const TSDByteArray& body, const TSDByteArray& tail = {}) {
    TSDByteArray b = Hex("0001");
    for (int i = 0; i < ffs; ++i) b.Append(Hex("FF"));
    b.Append(Hex("00"));
    b.Append(body);
    b.Append(tail);
    return b;
  }

  X509Certificate ca0_;
  TSDByteArray data_;
  TSDByteArray digestInfo_;
};

TEST_F(SignatureCheckTest, ProperlySignedBlockPasses) {
  EXPECT_TRUE(Check(SignRaw(Block(128 - 3 - 35, digestInfo_))));
}

TEST_F(SignatureCheckTest, BlocksOfAnyOtherLayoutFailEvenWhenSignedByTheCa) {
  const TSDByteArray digest = digestInfo_.Mid(15, 20);
  struct Row {
    const char* what;
    TSDByteArray block;
  } rows[] = {
      {"no FF bytes, filler after the digest", Block(0, digestInfo_, TSDByteArray(90))},
      {"seven FF bytes", Block(7, digestInfo_, TSDByteArray(83))},
      {"bytes after the digest", Block(128 - 3 - 35 - 2, digestInfo_, Hex("0000"))},
      {"another hash OID (MD5) with the SHA-1 value",
       Block(128 - 3 - 38, Hex("302430 0C06082A864886F70D020505000414").Concat(digest))},
      {"BER long-form length in the DigestInfo",
       Block(128 - 3 - 36, Hex("308121300906052B0E03021A05000414").Concat(digest))},
      {"block type 02", Hex("0002").Concat(Block(128 - 3 - 35, digestInfo_).Mid(2, 126))},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_EQ(row.block.Length(), 128);
    EXPECT_FALSE(Check(SignRaw(row.block)));
  }
}

TEST_F(SignatureCheckTest, SignatureOfWrongLengthOrNotBelowTheModulusFails) {
  const TSDByteArray good = SignRaw(Block(128 - 3 - 35, digestInfo_));
  EXPECT_FALSE(Check(good.Mid(1, 127)));
  EXPECT_FALSE(Check(Hex("00").Concat(good)));
  TSDByteArray all(128);
  for (int i = 0; i < 128; ++i) all.SetByte(i, 0xFF);
  EXPECT_FALSE(Check(all));
}

// Bleichenbacher's forgery under public exponent 3: a cube root of 00 01 00 DigestInfo
// garbage, computed without the CA's key. A check that skips however many FF bytes there are
// and ignores what follows the DigestInfo would take it.
TEST_F(SignatureCheckTest, ExponentThreeForgeryIsRefused) {
  const TSDByteArray prefix = Hex("000100").Concat(digestInfo_);
  const TSDByteArray low = prefix.Concat(TSDByteArray(128 - prefix.Length()));
  Bn target(BN_bin2bn(low.Data(), low.Length(), nullptr));
  Bn root = CubeRootUp(target.get());
  const TSDByteArray forged = Padded(root.get(), 128);

  // The forgery is real: the recovered block starts with the prefix.
  EXPECT_EQ(HexOf(Recover(forged).Mid(0, prefix.Length())), HexOf(prefix));
  EXPECT_FALSE(Check(forged));

  // Put into the default card's certificate in place of its signature, it is refused there.
  TSDByteArray der = CardCertificate("default");
  der.Write(der.Length() - 128, forged);
  EXPECT_EQ(Validate(der), sd::kMalformed);
}

// ---- The secure-channel protocol object --------------------------------------------------

TEST(SecureChannelProtocolTest, InitializeUpdate) {
  TSDSVCKeySetKeyVault vault("scp");
  TISDSecureChannelProtocol protocol(BankApplication(), &vault);
  EXPECT_EQ(protocol.Parameter1(), 1);
  EXPECT_EQ(protocol.Parameter2(), 0x15);
  protocol.Reset();
  TSDAPDU apdu;
  const TSDByteArray challenge = Hex("0102030405060708");
  protocol.BuildInitializeUpdate(0, challenge.Data(), apdu);
  EXPECT_EQ(HexOf(apdu.Bytes()), "8050000008010203040506070800");
  protocol.BuildInitializeUpdate(3, nullptr, apdu);
  const TSDByteArray random(protocol.HostChallenge(), 8);
  EXPECT_EQ(HexOf(apdu.Bytes()), "8050030008" + HexOf(random) + "00");
  TISDSecureChannelProtocol keyless(BankApplication(), nullptr);
  EXPECT_EQ(CodeOf([&] { keyless.BuildInitializeUpdate(0, nullptr, apdu); }), sd::kInvalidArgument);
}

}  // namespace
}  // namespace qorx
