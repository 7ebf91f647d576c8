#include "crypto/KeyVault.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/ByteReader.h"
#include "core/Exceptions.h"
#include "crypto/KeyComponents.h"
#include "tests/support/Seams.h"
#include "tests/support/TestSupport.h"

namespace qorx {
namespace {

using Bytes = std::vector<uint8_t>;

using test::BytesOf;

Bytes FromHex(const char* hex) {
  return BytesOf(test::Hex(hex));
}

std::array<uint8_t, 16> Id(uint8_t n) {
  std::array<uint8_t, 16> id{};
  id.fill(0x30);
  id[15] = n;
  return id;
}

// Sized once and filled in place: growing a two-byte vector by insert makes g++ 12 at -O3 see a
// copy past its old end (-Warray-bounds) on a path that never runs.
Bytes SecretBlob(const Bytes& key) {
  Bytes blob(key.size() + 2);
  blob[0] = 0x80;
  blob[1] = static_cast<uint8_t>(key.size());
  std::copy(key.begin(), key.end(), blob.begin() + 2);
  return blob;
}

// ---- independent references from libcrypto's high-level interface -----------------------------

Bytes EvpCipher(const EVP_CIPHER* cipher, const Bytes& key, const Bytes& iv, const Bytes& in) {
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      &EVP_CIPHER_CTX_free);
  Bytes out(in.size() + 8);
  int n = 0, tail = 0;
  EXPECT_EQ(
      EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.empty() ? nullptr : iv.data()),
      1);
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  EXPECT_EQ(EVP_EncryptUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(in.size())),
            1);
  EXPECT_EQ(EVP_EncryptFinal_ex(ctx.get(), out.data() + n, &tail), 1);
  out.resize(static_cast<size_t>(n + tail));
  return out;
}

using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

// A 1024-bit key made once by libcrypto, its numbers, and its raw (unpadded) operations.
struct ReferenceRsa {
  PkeyPtr key{nullptr, &EVP_PKEY_free};
  Bytes n, e, d, p, q, dmp1, dmq1, iqmp;

  static const ReferenceRsa& Get() {
    static const ReferenceRsa* rsa = new ReferenceRsa();
    return *rsa;
  }

  Bytes Raw(bool privateKey, const Bytes& in) const {
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
        EVP_PKEY_CTX_new(key.get(), nullptr), &EVP_PKEY_CTX_free);
    Bytes out(n.size());
    size_t outLength = out.size();
    if (privateKey) {
      EXPECT_EQ(EVP_PKEY_decrypt_init(ctx.get()), 1);
      EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING), 1);
      EXPECT_EQ(EVP_PKEY_decrypt(ctx.get(), out.data(), &outLength, in.data(), in.size()), 1);
    } else {
      EXPECT_EQ(EVP_PKEY_encrypt_init(ctx.get()), 1);
      EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING), 1);
      EXPECT_EQ(EVP_PKEY_encrypt(ctx.get(), out.data(), &outLength, in.data(), in.size()), 1);
    }
    out.resize(outLength);
    return out;
  }

  TSDByteArray PublicList() const { return List({{0xA1, &n}, {0xA0, &e}}); }
  TSDByteArray PlainList() const { return List({{0xA2, &n}, {0xA3, &d}, {0xA0, &e}}); }
  // CRT form without d; `exponentP` may stand in for d mod (p - 1).
  TSDByteArray CrtList(const Bytes* exponentP = nullptr) const {
    const Bytes* dp = exponentP != nullptr ? exponentP : &dmp1;
    return List(
        {{0xA2, &n}, {0xA4, &p}, {0xA5, &q}, {0xA6, &iqmp}, {0xA7, dp}, {0xA8, &dmq1}, {0xA0, &e}});
  }

 private:
  ReferenceRsa() {
    key.reset(EVP_RSA_gen(1024));
    n = Number(OSSL_PKEY_PARAM_RSA_N);
    e = Number(OSSL_PKEY_PARAM_RSA_E);
    d = Number(OSSL_PKEY_PARAM_RSA_D);
    p = Number(OSSL_PKEY_PARAM_RSA_FACTOR1);
    q = Number(OSSL_PKEY_PARAM_RSA_FACTOR2);
    dmp1 = Number(OSSL_PKEY_PARAM_RSA_EXPONENT1);
    dmq1 = Number(OSSL_PKEY_PARAM_RSA_EXPONENT2);
    iqmp = Number(OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
  }
  Bytes Number(const char* name) const {
    BIGNUM* bn = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(key.get(), name, &bn), 1) << name;
    Bytes out(static_cast<size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, out.data());
    BN_clear_free(bn);
    return out;
  }
  static TSDByteArray List(std::initializer_list<std::pair<uint8_t, const Bytes*>> parts) {
    TSDByteArray list;
    for (const auto& part : parts)
      AddComponent(list, part.first, part.second->data(), static_cast<int>(part.second->size()));
    return list;
  }
};

// An input below every 1024-bit modulus.
Bytes RsaInput() {
  Bytes x(128);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<uint8_t>(i * 7 + 3);
  x[0] = 0x00;
  return x;
}

// ---- fixture --------------------------------------------------------------------------------

class KeyVaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vault_.reset(
        static_cast<TSDSVCKeySetKeyVault*>(TSDKeySetKeyVaultFactory::Instance().CreateService("")));
  }

  TSDKeyNodeRef Create(uint8_t id, uint8_t type, uint16_t keyLength, uint32_t attributes = 0) {
    return TSDKeyNodeRef(vault_->CreateKey(Id(id).data(), type, keyLength, attributes));
  }
  TSDKeyNodeRef Imported(uint8_t id, uint8_t type, uint16_t keyLength, const Bytes& blob) {
    TSDKeyNodeRef key = Create(id, type, keyLength);
    key->Import(0, 1, blob.data(), static_cast<int>(blob.size()));
    return key;
  }
  TSDKeyNodeRef Secret(uint8_t id, const Bytes& key) {
    return Imported(id, 0x80, static_cast<uint16_t>(key.size()), SecretBlob(key));
  }
  TSDKeyNodeRef Rsa(uint8_t id, uint8_t type, const TSDByteArray& list) {
    return Imported(id, type, 128, BytesOf(list));
  }

  std::unique_ptr<TSDSVCKeySetKeyVault> vault_;
};

const Bytes kK1 = FromHex("0123456789ABCDEF");
const Bytes kKey16 = FromHex("0123456789ABCDEF FEDCBA9876543210");
const Bytes kKey24 = FromHex("0123456789ABCDEF 23456789ABCDEF01 456789ABCDEF0123");
const Bytes kData32 =
    FromHex("4E6F772069732074 68652074696D6520 666F7220616C6C20 0102030405060708");
const Bytes kIv = FromHex("1234567890ABCDEF");

// ---- DES and triple DES ------------------------------------------------------------------------

TEST_F(KeyVaultTest, SingleDesKnownAnswer) {
  TSDKeyNodeRef key = Secret(1, kK1);
  Bytes block = {'N', 'o', 'w', ' ', 'i', 's', ' ', 't'};
  key->EncryptECB(block.data(), 8);
  EXPECT_EQ(block, FromHex("3FA40E8A984D4815"));
  key->DecryptECB(block.data(), 8);
  EXPECT_EQ(block, Bytes({'N', 'o', 'w', ' ', 'i', 's', ' ', 't'}));
}

TEST_F(KeyVaultTest, TripleDesAgreesWithLibcrypto) {
  struct Row {
    const Bytes* key;
    bool cbc;
    const EVP_CIPHER* (*cipher)();
  } rows[] = {
      {&kKey16, false, &EVP_des_ede},
      {&kKey24, false, &EVP_des_ede3},
      {&kKey16, true, &EVP_des_ede_cbc},
      {&kKey24, true, &EVP_des_ede3_cbc},
  };
  uint8_t id = 1;
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.key->size()) + (row.cbc ? " CBC" : " ECB"));
    TSDKeyNodeRef key = Secret(id++, *row.key);
    Bytes expected = EvpCipher(row.cipher(), *row.key, row.cbc ? kIv : Bytes(), kData32);
    Bytes data = kData32;
    uint8_t chain[8] = {};
    if (row.cbc) {
      key->EncryptCBC(kIv.data(), data.data(), 32, chain);
      EXPECT_EQ(Bytes(chain, chain + 8), Bytes(expected.end() - 8, expected.end()));
    } else {
      key->EncryptECB(data.data(), 32);
    }
    EXPECT_EQ(data, expected);
    if (row.cbc) {
      key->DecryptCBC(kIv.data(), data.data(), 32, chain);
      EXPECT_EQ(Bytes(chain, chain + 8), Bytes(expected.end() - 8, expected.end()));
    } else {
      key->DecryptECB(data.data(), 32);
    }
    EXPECT_EQ(data, kData32);
  }
}

TEST_F(KeyVaultTest, TwoKeyTripleDesWithEqualHalvesIsSingleDes) {
  Bytes doubled = kK1;
  doubled.insert(doubled.end(), kK1.begin(), kK1.end());
  TSDKeyNodeRef single = Secret(1, kK1);
  TSDKeyNodeRef triple = Secret(2, doubled);
  Bytes a = kData32, b = kData32;
  single->EncryptECB(a.data(), 32);
  triple->EncryptECB(b.data(), 32);
  EXPECT_EQ(a, b);
}

TEST_F(KeyVaultTest, CbcChainAndDefaultVector) {
  TSDKeyNodeRef key = Secret(1, kKey16);
  const uint8_t zeros[8] = {};
  Bytes a = kData32, b = kData32;
  uint8_t chainA[8], chainB[8];
  key->EncryptCBC(nullptr, a.data(), 32, chainA);
  key->EncryptCBC(zeros, b.data(), 32, chainB);
  EXPECT_EQ(a, b);
  EXPECT_EQ(Bytes(chainA, chainA + 8), Bytes(a.end() - 8, a.end()));
  EXPECT_EQ(0, std::memcmp(chainA, chainB, 8));
  key->DecryptCBC(nullptr, a.data(), 32, nullptr);  // the chain output is optional
  EXPECT_EQ(a, kData32);
}

TEST_F(KeyVaultTest, MacIsTheLastCbcBlock) {
  uint8_t id = 1;
  for (const Bytes* k : {&kK1, &kKey16, &kKey24}) {
    SCOPED_TRACE(k->size());
    TSDKeyNodeRef key = Secret(id++, *k);
    Bytes data = kData32, cbc = kData32;
    uint8_t mac[8];
    key->ComputeMAC(kIv.data(), data.data(), 32, mac);
    key->EncryptCBC(kIv.data(), cbc.data(), 32, nullptr);
    EXPECT_EQ(Bytes(mac, mac + 8), Bytes(cbc.end() - 8, cbc.end()));
    EXPECT_EQ(data, kData32);
  }
}

TEST_F(KeyVaultTest, ZeroLengthChangesNothing) {
  TSDKeyNodeRef key = Secret(1, kKey16);
  Bytes data = kData32;
  uint8_t chain[8] = {};
  key->EncryptECB(data.data(), 0);
  key->EncryptCBC(kIv.data(), data.data(), 0, chain);
  EXPECT_EQ(data, kData32);
  EXPECT_EQ(Bytes(chain, chain + 8), kIv);  // the chain is the vector itself
}

// ---- import and export -------------------------------------------------------------------------

TEST_F(KeyVaultTest, ImportSetsOddParityAndExportsTheList) {
  TSDKeyNodeRef key = Imported(1, 0x80, 8, FromHex("8008 0102030405060708"));
  int size = 0;
  EXPECT_EQ(key->Export(0, 1, nullptr, &size), 10);
  EXPECT_EQ(size, 10);
  Bytes out(10);
  key->Export(0, 1, out.data(), &size);
  EXPECT_EQ(out, FromHex("8008 0102020404070708"));
  Bytes pub(10);
  EXPECT_EQ(key->ExportPublic(1, pub.data(), &size), 10);
  EXPECT_EQ(pub, out);
}

TEST_F(KeyVaultTest, ExportPublicOfPrivateKeyHoldsModulusAndExponentOnly) {
  const ReferenceRsa& ref = ReferenceRsa::Get();
  TSDKeyNodeRef priv = Rsa(1, 0xA2, ref.CrtList());
  Bytes out(300);
  int size = 300;
  int n = priv->ExportPublic(1, out.data(), &size);
  out.resize(static_cast<size_t>(n));
  EXPECT_EQ(out, BytesOf(ref.PublicList()));

  TSDKeyNodeRef pub = Rsa(2, 0xA1, ref.PublicList());
  size = 300;
  out.assign(300, 0);
  out.resize(static_cast<size_t>(pub->ExportPublic(1, out.data(), &size)));
  EXPECT_EQ(out, BytesOf(ref.PublicList()));
}

// ---- RSA ---------------------------------------------------------------------------------------

TEST_F(KeyVaultTest, RawRsaAgreesWithLibcrypto) {
  const ReferenceRsa& ref = ReferenceRsa::Get();
  TSDKeyNodeRef crt = Rsa(1, 0xA2, ref.CrtList());
  TSDKeyNodeRef plain = Rsa(2, 0xA2, ref.PlainList());
  TSDKeyNodeRef pub = Rsa(3, 0xA1, ref.PublicList());
  const Bytes x = RsaInput();

  Bytes viaCrt = x, viaPlain = x, viaPublic = x;
  crt->PrivateKeyOperation(viaCrt.data(), 128);
  plain->PrivateKeyOperation(viaPlain.data(), 128);
  pub->PublicKeyOperation(viaPublic.data(), 128);
  EXPECT_EQ(viaCrt, ref.Raw(true, x));
  EXPECT_EQ(viaPlain, viaCrt);
  EXPECT_EQ(viaPublic, ref.Raw(false, x));

  // A key imported anew is applied as it now is, not as the last operation set it up.
  TSDKeyNodeRef other = Create(5, 0xA2, 128);
  other->GenerateKeyPair(65537);
  Bytes otherPublic(300);
  int size = static_cast<int>(otherPublic.size());
  otherPublic.resize(static_cast<size_t>(other->ExportPublic(1, otherPublic.data(), &size)));
  pub->Import(0, 1, otherPublic.data(), static_cast<int>(otherPublic.size()));
  Bytes viaNew = x, viaOther = x;
  pub->PublicKeyOperation(viaNew.data(), 128);
  other->PublicKeyOperation(viaOther.data(), 128);
  EXPECT_EQ(viaNew, viaOther);
  EXPECT_NE(viaNew, viaPublic);

  // The byte-array forms, and a private key's own public half.
  TSDByteArray back;
  crt->PublicOperation(back, TSDByteArray(viaCrt.data(), 128));
  EXPECT_EQ(BytesOf(back), x);
  TSDByteArray signature;
  plain->PrivateOperation(signature, TSDByteArray(x.data(), 128));
  EXPECT_EQ(BytesOf(signature), viaCrt);

  // CRT parts that do not fit together, and no d: libcrypto's check of the CRT result fails
  // and it falls back to d, which must then be there.
  Bytes badDmp1 = ref.dmp1;
  badDmp1[5] ^= 0x01;
  TSDKeyNodeRef broken = Rsa(4, 0xA2, ref.CrtList(&badDmp1));
  Bytes viaBroken = x;
  broken->PrivateKeyOperation(viaBroken.data(), 128);
  EXPECT_EQ(viaBroken, viaCrt);
}

TEST_F(KeyVaultTest, GeneratedKeyPairLayout) {
  TSDKeyNodeRef key = Create(1, 0xA2, 128);
  key->GenerateKeyPair(65537);
  const TSDByteArray& material = key->Material();

  // A2 n, A3 d (128 bytes each), A4 p .. A8 d mod (q-1) (64 bytes each), A0 e: in this order.
  const struct {
    uint8_t tag;
    size_t length;
  } layout[] = {{0xA2, 128}, {0xA3, 128}, {0xA4, 64}, {0xA5, 64},
                {0xA6, 64},  {0xA7, 64},  {0xA8, 64}, {0xA0, 3}};
  ByteReader r(material);
  for (const auto& field : layout) {
    uint8_t tag = 0, length = 0;
    ASSERT_TRUE(r.ReadU8(&tag) && r.ReadU8(&length));
    EXPECT_EQ(tag, field.tag);
    EXPECT_EQ(length, field.length);
    ASSERT_TRUE(r.Skip(length));
  }
  EXPECT_TRUE(r.Empty());
  int n = 0;
  EXPECT_EQ(Bytes(FindComponent(material, 0xA0, &n), FindComponent(material, 0xA0) + 3),
            FromHex("010001"));

  // n = p * q, and the private and public halves undo each other (CRT and plain).
  auto number = [&](uint8_t tag) {
    int length = 0;
    const uint8_t* v = FindComponent(material, tag, &length);
    return std::unique_ptr<BIGNUM, decltype(&BN_free)>(BN_bin2bn(v, length, nullptr), &BN_free);
  };
  std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), &BN_CTX_free);
  auto product = number(0xA4);
  ASSERT_EQ(BN_mul(product.get(), product.get(), number(0xA5).get(), ctx.get()), 1);
  EXPECT_EQ(BN_cmp(product.get(), number(0xA2).get()), 0);

  const Bytes x = RsaInput();
  Bytes y = x;
  key->PrivateKeyOperation(y.data(), 128);
  key->PublicKeyOperation(y.data(), 128);
  EXPECT_EQ(y, x);
}

// ---- PKCS #1 block encoding --------------------------------------------------------------------

// 00 | BT | filler (zero filler bytes stay FF) | 00 | data, from byte 0 to the key length.
Bytes ExpectedBlock(uint8_t type, const Bytes& filler, const Bytes& data) {
  Bytes block(128, 0xFF);
  block[0] = 0x00;
  block[1] = type;
  for (size_t i = 0; i < filler.size() && i < 126; ++i)
    if (filler[i] != 0) block[2 + i] = filler[i];
  block[128 - data.size() - 1] = 0x00;
  std::copy(data.begin(), data.end(), block.end() - static_cast<long>(data.size()));
  return block;
}

TEST_F(KeyVaultTest, EncodeAndApplyBlockLayout) {
  const ReferenceRsa& ref = ReferenceRsa::Get();
  TSDKeyNodeRef priv = Rsa(1, 0xA2, ref.CrtList());
  TSDKeyNodeRef pub = Rsa(2, 0xA1, ref.PublicList());
  const Bytes filler = FromHex("1122334400556677 8800");
  const Bytes data =
      FromHex("3021300906052B0E03021A05000414 00112233445566778899AABBCCDDEEFF00112233");

  struct Row {
    uint8_t selector;
    TSDKeyNode* apply;
    TSDKeyNode* undo;
    uint8_t blockType;
  } rows[] = {{0xA2, priv.Get(), pub.Get(), 0x01}, {0xA1, pub.Get(), priv.Get(), 0x02}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.selector);
    TSDByteArray out, block;
    row.apply->EncodeAndApply(out, row.selector, TSDByteArray(filler.data(), 10),
                              TSDByteArray(data.data(), static_cast<int>(data.size())));
    ASSERT_EQ(out.Length(), 128);
    if (row.undo->Type() == 0xA2)
      row.undo->PrivateOperation(block, out);
    else
      row.undo->PublicOperation(block, out);
    EXPECT_EQ(BytesOf(block), ExpectedBlock(row.blockType, filler, data));
    // Spelled out: header, filler with its zero bytes left as FF, padding, separator, data.
    Bytes head = FromHex("00 00 11223344 FF 556677 88 FF FFFF");
    head[1] = row.blockType;
    EXPECT_EQ(Bytes(block.Data(), block.Data() + 14), head);
    EXPECT_EQ(block.ByteAt(91), 0xFF);
    EXPECT_EQ(block.ByteAt(92), 0x00);
    EXPECT_EQ(block.ByteAt(93), 0x30);
  }
}

TEST_F(KeyVaultTest, EncodeAndApplyBounds) {
  const ReferenceRsa& ref = ReferenceRsa::Get();
  TSDKeyNodeRef priv = Rsa(1, 0xA2, ref.CrtList());
  TSDKeyNodeRef pub = Rsa(2, 0xA1, ref.PublicList());
  const Bytes data117(117, 0x5A), data118(118, 0x5A);
  TSDByteArray out, block;
  pub->EncodeAndApply(out, 0xA1, TSDByteArray(), TSDByteArray(data117.data(), 117));
  priv->PrivateOperation(block, out);
  EXPECT_EQ(BytesOf(block), ExpectedBlock(0x02, {}, data117));

  // A filler longer than the whole block: the separator and data overwrite its tail and
  // nothing is written past the block.
  const Bytes longFiller(300, 0x77);
  priv->EncodeAndApply(out, 0xA2, TSDByteArray(longFiller.data(), 300),
                       TSDByteArray(data117.data(), 20));
  pub->PublicOperation(block, out);
  EXPECT_EQ(BytesOf(block),
            ExpectedBlock(0x01, longFiller, Bytes(data117.begin(), data117.begin() + 20)));

  TSDByteArray untouched = out;
  try {
    pub->EncodeAndApply(out, 0xA1, TSDByteArray(), TSDByteArray(data118.data(), 118));
    ADD_FAILURE();
  } catch (const ESDException& e) {
    EXPECT_EQ(e.Code(), sd::kMalformed);
    EXPECT_STREQ(e.Message(), "data too big to be encoded");
    EXPECT_STREQ(e.File(), "BaseServices");
  }
  EXPECT_EQ(out, untouched);
}

// ---- failures ----------------------------------------------------------------------------------

// Replaces the vault's random source for one scope.
class RandomSource {
 public:
  explicit RandomSource(RandomBytesFunction function) : old_(SetRandomBytesFunction(function)) {}
  RandomSource(const RandomSource&) = delete;
  RandomSource& operator=(const RandomSource&) = delete;
  ~RandomSource() { SetRandomBytesFunction(old_); }

 private:
  RandomBytesFunction old_;
};

int FailingRandom(unsigned char*, int) {
  return 0;
}

TEST_F(KeyVaultTest, FailuresRaiseTheirCodeAndMessage) {
  const ReferenceRsa& ref = ReferenceRsa::Get();
  TSDKeyNodeRef secret = Secret(1, kKey16);
  TSDKeyNodeRef priv = Rsa(2, 0xA2, ref.PlainList());
  TSDKeyNodeRef pub = Rsa(3, 0xA1, ref.PublicList());
  TSDKeyNodeRef empty = Create(4, 0x80, 16);
  // A modulus twice as long as the key length: libcrypto would write a whole modulus.
  TSDKeyNodeRef mismatched = Imported(5, 0xA1, 64, BytesOf(ref.PublicList()));
  TSDKeyNodeRef small = Create(6, 0xA2, 16);
  const TSDByteArray secretBefore = secret->Material(), privBefore = priv->Material();

  Bytes buf(200, 0xFF);
  uint8_t* b = buf.data();
  int size = 4;
  const Bytes blob17(17, 0x80);
  const Bytes blobA1 = FromHex("A110 00112233445566778899AABBCCDDEEFF");
  const Bytes blobBroken = FromHex("8010 00112233445566778899AABBCCDDEEFF A005 01");
  // A lookup of tag 00 stops at the 00 component and would not see the broken one after it.
  const Bytes blobAfterZero = FromHex("8010 00112233445566778899AABBCCDDEEFF 0001 00 A005 01");
  const Bytes blobShort = FromHex("8008 0011223344556677 A006 010203040506");
  const std::array<uint8_t, 16> unknown = Id(99);
  constexpr const char* kVault = "KeySetKeyVault";

  struct Row {
    const char* label;
    std::function<void()> call;
    uint16_t code;
    const char* message;
    const char* unit;
  } rows[] = {
      {"bad type", [&] { vault_->CreateKey(Id(9).data(), 0x81, 8, 0); }, 0xC100, "Incorrect type",
       kVault},
      {"duplicate", [&] { vault_->CreateKey(Id(1).data(), 0x80, 8, 0); }, 0xC100,
       "key already exists", kVault},
      {"import format", [&] { secret->Import(0, 2, blobA1.data(), 18); }, 0xC100,
       "unsupported import format (format = 02)", kVault},
      {"import short", [&] { secret->Import(0, 1, blob17.data(), 17); }, 0xC400,
       "key length must be at least 18 bytes", kVault},
      {"import type", [&] { secret->Import(0, 1, blobA1.data(), 18); }, 0xC500,
       "key type must be 80X", kVault},
      {"import broken", [&] { secret->Import(0, 1, blobBroken.data(), 21); }, 0xC100,
       "Incorrect buffer format", "Crypto"},
      {"import broken after tag 00", [&] { secret->Import(0, 1, blobAfterZero.data(), 24); },
       0xC100, "Incorrect buffer format", "Crypto"},
      {"import component", [&] { secret->Import(0, 1, blobShort.data(), 18); }, 0xC400,
       "key component must be at least 16 bytes", kVault},
      {"export format", [&] { secret->Export(0, 3, b, &size); }, 0xC100,
       "unsupported export format (format = 03)", kVault},
      {"export size", [&] { secret->Export(0, 1, b, &size); }, 0xC400,
       "output buffer must be at least 18 bytes", kVault},
      {"public format", [&] { priv->ExportPublic(0, b, &size); }, 0xC100,
       "unsupported export format (format = 00)", kVault},
      {"public size", [&] { priv->ExportPublic(1, b, &size); }, 0xC400,
       "output buffer must be at least 135 bytes", kVault},
      {"ecb 12", [&] { secret->EncryptECB(b, 12); }, 0xC400, "buffer length must be multiple of 8",
       kVault},
      {"ecb -4", [&] { secret->DecryptECB(b, -4); }, 0xC400, "buffer length must be multiple of 8",
       kVault},
      {"cbc 4", [&] { secret->EncryptCBC(nullptr, b, 4, nullptr); }, 0xC400,
       "buffer length must be multiple of 8", kVault},
      {"dcbc 4", [&] { secret->DecryptCBC(nullptr, b, 4, nullptr); }, 0xC400,
       "buffer length must be multiple of 8", kVault},
      {"mac 4", [&] { secret->ComputeMAC(b, b, 4, b); }, 0xC400,
       "buffer length must be multiple of 8", kVault},
      {"mac no vector", [&] { secret->ComputeMAC(nullptr, b, 8, b); }, 0xC100, "", kVault},
      {"no material", [&] { empty->EncryptECB(b, 8); }, 0xC500, "key material is incomplete",
       kVault},
      {"des on rsa", [&] { pub->EncryptECB(b, 8); }, 0xC500, "key material is incomplete", kVault},
      {"private on public", [&] { pub->PrivateKeyOperation(b, 128); }, 0xC100,
       "key type must be RSA Private", kVault},
      {"private length", [&] { priv->PrivateKeyOperation(b, 127); }, 0xC400,
       "buffer length must be equal to key length", kVault},
      {"public length", [&] { pub->PublicKeyOperation(b, 127); }, 0xC400,
       "buffer length must be equal to key length", kVault},
      {"private range", [&] { priv->PrivateKeyOperation(b, 128); }, 0xC500, "RSA Encription error",
       kVault},
      {"public range", [&] { pub->PublicKeyOperation(b, 128); }, 0xC500, "RSA Decription error",
       kVault},
      {"modulus length", [&] { mismatched->PublicKeyOperation(b, 64); }, 0xC500,
       "RSA Decription error", kVault},
      {"key generation", [&] { small->GenerateKeyPair(65537); }, 0xC500, "RSA Key generation error",
       kVault},
      {"derive rsa", [&] { vault_->DeriveKey(pub.Get(), 2, b, 16); }, 0xC100, "", kVault},
      {"derive 12", [&] { vault_->DeriveKey(secret.Get(), 2, b, 12); }, 0xC100, "", kVault},
      {"derive xor length", [&] { vault_->DeriveKey(secret.Get(), 1, b, 8); }, 0xC100, "", kVault},
      {"derive mode", [&] { vault_->DeriveKey(secret.Get(), 3, b, 16); }, 0xC100, "", kVault},
      {"delete unknown", [&] { vault_->DeleteKey(unknown.data()); }, 0xC700, "key cannot be found",
       kVault},
      {"random",
       [&] {
         RandomSource failing(&FailingRandom);
         vault_->GenerateRandom(b, 8);
       },
       0xC000, "RAND_bytes", kVault},
      {"names buffer",
       [&] {
         TSDKeySetKeyVaultFactory::Instance().EnumerateNames(reinterpret_cast<char*>(b), &size);
       },
       0xC400, "output buffer must be at least 9 bytes", kVault},
      {"attribute", [&] { vault_->SetAttribute(1, b, 1); }, 0xC100, "", "BaseServices"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    size = 4;
    try {
      row.call();
      ADD_FAILURE() << "no exception";
    } catch (const ESDException& e) {
      EXPECT_EQ(e.Code(), row.code);
      EXPECT_STREQ(e.Message(), row.message);
      EXPECT_STREQ(e.File(), row.unit);
    }
  }
  // Failing operations leave the keys as they were, and nothing was added to the vault.
  EXPECT_EQ(secret->Material(), secretBefore);
  EXPECT_EQ(priv->Material(), privBefore);
  EXPECT_EQ(small->Material().Length(), 0);
  EXPECT_EQ(vault_->NodeCount(), 6);
}

// ---- factory -----------------------------------------------------------------------------------

TEST(KeyVaultFactory, OneInstanceNamedDefault) {
  TSDKeySetKeyVaultFactory& factory = TSDKeySetKeyVaultFactory::Instance();
  EXPECT_EQ(&factory, &TSDKeySetKeyVaultFactory::Instance());
  EXPECT_STREQ(factory.Name().CStr(), "KeySet.KeyVault");

  int size = 0;
  EXPECT_EQ(factory.EnumerateNames(nullptr, &size), 1);
  EXPECT_EQ(size, 9);
  char names[12];
  std::memset(names, 'x', sizeof names);
  EXPECT_EQ(factory.EnumerateNames(names, &size), 1);
  EXPECT_EQ(std::string(names, 10), std::string("DEFAULT\0\0x", 10));

  EXPECT_EQ(factory.StartEnumeration(), 1);
  EXPECT_STREQ(factory.NextName().CStr(), "DEFAULT");
  EXPECT_STREQ(factory.NextName().CStr(), "");

  std::unique_ptr<TSDBaseService> service(factory.CreateService("mine"));
  ASSERT_NE(dynamic_cast<TSDSVCKeySetKeyVault*>(service.get()), nullptr);
  EXPECT_STREQ(service->Name().CStr(), "mine");
}

// ---- references, deletion and wiping ------------------------------------------------------------

TEST_F(KeyVaultTest, ReferencesAndHiddenDuplicates) {
  TSDKeyNode* first = vault_->CreateKey(Id(1).data(), 0x80, 8, 0);
  EXPECT_EQ(first->RefCount(), 2);  // the list's and ours
  TSDKeyNode* found = vault_->FindKey(Id(1).data());
  EXPECT_EQ(found, first);
  EXPECT_EQ(first->RefCount(), 3);
  found->Release();

  TSDKeyNode* hidden = vault_->CreateKey(Id(1).data(), 0x80, 8, kKeyHidden | kKeyBit15);
  EXPECT_TRUE(hidden->Hidden());
  found = vault_->FindKey(Id(1).data());
  EXPECT_EQ(found, first);
  found->Release();
  EXPECT_EQ(vault_->FindKey(Id(2).data()), nullptr);
  hidden->Release();
  first->Release();
  EXPECT_EQ(vault_->NodeCount(), 2);  // the list keeps them until the vault closes
  vault_->Close();
  EXPECT_EQ(vault_->NodeCount(), 0);
}

TEST_F(KeyVaultTest, DeleteKeyDestroysOnceWhenTheLastReferenceGoes) {
  // Nobody holds the key: deleting takes it out of the list at once.
  vault_->CreateKey(Id(1).data(), 0x80, 8, 0)->Release();
  vault_->DeleteKey(Id(1).data());
  EXPECT_EQ(vault_->NodeCount(), 0);
  EXPECT_EQ(vault_->FindKey(Id(1).data()), nullptr);

  // A holder keeps a cleared, hidden husk until it lets go.
  TSDKeyNode* held = vault_->CreateKey(Id(2).data(), 0x80, 8, 0);
  held->Import(0, 1, SecretBlob(kK1).data(), 10);
  vault_->DeleteKey(Id(2).data());
  EXPECT_EQ(vault_->NodeCount(), 1);
  EXPECT_EQ(held->RefCount(), 1);
  EXPECT_TRUE(held->Hidden());
  EXPECT_EQ(held->Type(), 0);
  EXPECT_EQ(held->KeyLength(), 0);
  EXPECT_EQ(held->Material().Length(), 0);
  EXPECT_EQ(vault_->FindKey(Id(2).data()), nullptr);
  EXPECT_THROW(vault_->DeleteKey(Id(2).data()), ESDException);
  held->Release();
  EXPECT_EQ(vault_->NodeCount(), 0);

  // Closing afterwards touches no freed node (the sanitizer build would report it).
  vault_->CreateKey(Id(3).data(), 0x80, 8, 0)->Release();
  vault_->Close();
  EXPECT_EQ(vault_->NodeCount(), 0);
}

std::vector<std::pair<size_t, bool>>* g_released = nullptr;
void RecordRelease(const void* data, size_t length) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  g_released->emplace_back(length,
                           std::all_of(bytes, bytes + length, [](uint8_t v) { return v == 0; }));
}

TEST_F(KeyVaultTest, MaterialIsWipedWhenTheKeyIsDestroyed) {
  TSDKeyNode* key = vault_->CreateKey(Id(1).data(), 0x80, 24, 0);
  key->Import(0, 1, SecretBlob(kKey24).data(), 26);
  key->Release();

  std::vector<std::pair<size_t, bool>> released;
  g_released = &released;
  SetReleaseObserver(&RecordRelease);
  vault_->Close();
  SetReleaseObserver(nullptr);
  g_released = nullptr;

  EXPECT_TRUE(std::any_of(released.begin(), released.end(),
                          [](const std::pair<size_t, bool>& r) { return r.first == 26; }));
  for (const auto& r : released) EXPECT_TRUE(r.second) << r.first << " bytes released unwiped";
}

// ---- derivation and random keys ----------------------------------------------------------------

TEST_F(KeyVaultTest, DerivedKeysAreOneComponentSecretKeys) {
  TSDKeyNodeRef source = Secret(1, kKey16);
  const Bytes data = FromHex("0F0E0D0C0B0A0908 0706050403020100");

  TSDKeyNodeRef xored(vault_->DeriveKey(source.Get(), 1, data.data(), 16));
  Bytes expected = SecretBlob(kKey16);
  const uint8_t* sourceKey = FindComponent(source->Material(), 0x80);
  for (int i = 0; i < 16; ++i) expected[2 + i] = sourceKey[i] ^ data[i];
  EXPECT_EQ(BytesOf(xored->Material()), expected);

  TSDKeyNodeRef enciphered(vault_->DeriveKey(source.Get(), 2, data.data(), 16));
  Bytes key = data;
  source->EncryptECB(key.data(), 16);
  SetOddParity(key.data(), 16);
  EXPECT_EQ(BytesOf(enciphered->Material()), SecretBlob(key));

  // Derived keys carry the source's identity but stay hidden behind it.
  EXPECT_TRUE(enciphered->Hidden());
  EXPECT_EQ(0, std::memcmp(enciphered->Identifier(), Id(1).data(), 16));
  EXPECT_EQ(enciphered->Type(), 0x80);
  EXPECT_EQ(enciphered->KeyLength(), 16);
  TSDKeyNodeRef found(vault_->FindKey(Id(1).data()));
  EXPECT_EQ(found.Get(), source.Get());
  EXPECT_EQ(vault_->NodeCount(), 3);

  // A derived key works like the same key imported.
  TSDKeyNodeRef same = Secret(2, key);
  Bytes a = kData32, b = kData32;
  enciphered->EncryptECB(a.data(), 32);
  same->EncryptECB(b.data(), 32);
  EXPECT_EQ(a, b);
}

int PatternRandom(unsigned char* buffer, int length) {
  for (int i = 0; i < length; ++i) buffer[i] = static_cast<unsigned char>(0x10 * i + 0x10);
  return 1;
}

TEST_F(KeyVaultTest, RandomBytesAndSecretKeys) {
  Bytes random(32, 0);
  EXPECT_GT(vault_->GenerateRandom(random.data(), 32), 0);
  EXPECT_NE(random, Bytes(32, 0));

  TSDKeyNodeRef key = Create(1, 0x80, 24);
  {
    RandomSource pattern(&PatternRandom);
    key->GenerateSecret();
  }
  Bytes expected(24);
  PatternRandom(expected.data(), 24);
  SetOddParity(expected.data(), 24);
  EXPECT_EQ(BytesOf(key->Material()), SecretBlob(expected));
}

// Under CTest each case runs in a process of its own, so this is the process's first seeding:
// it used to wait for the clock's second to turn over (up to a second, half a one on average).
TEST(KeyVaultSeeding, FirstRandomRequestDoesNotWait) {
  const auto start = std::chrono::steady_clock::now();
  uint8_t random[8] = {};
  TSDSVCKeySetKeyVault vault("DEFAULT");
  EXPECT_GT(vault.GenerateRandom(random, 8), 0);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), 100);
}

}  // namespace
}  // namespace qorx
