// libcrypto 3 marks the low-level DES and RSA calls deprecated. The vault needs exactly those:
// raw single DES (which the EVP layer only offers through the legacy provider) and raw RSA
// without padding on keys assembled from our own component lists. The suppression stays in this
// file; everything else builds with deprecation warnings as errors.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "crypto/KeyVault.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/des.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <memory>

#include "core/Exceptions.h"
#include "core/Wipe.h"
#include "crypto/KeyComponents.h"

namespace qorx {

namespace {

constexpr const char* kUnit = unit::kKeySetKeyVault;
constexpr int kBlock = 8;

// ---- libcrypto ownership ----------------------------------------------------------------------

struct BnFree {
  void operator()(BIGNUM* n) const noexcept { BN_clear_free(n); }
};
struct BnCtxFree {
  void operator()(BN_CTX* c) const noexcept { BN_CTX_free(c); }
};
struct RsaFree {
  void operator()(RSA* r) const noexcept { RSA_free(r); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;
using BnCtxPtr = std::unique_ptr<BN_CTX, BnCtxFree>;
using RsaPtr = std::unique_ptr<RSA, RsaFree>;

// Secret numbers live in BIGNUMs flagged secure: libcrypto clears those whenever it frees
// them, also after RSA_free took them over.
enum class Secrecy { kPublic, kSecret };

[[noreturn]] void RaiseIncomplete() {
  QORX_RAISEF(sd::kMalformed, kUnit, "key material is incomplete");
}

// The number held by component `tag`, or null when the material has no such component.
BnPtr ComponentNumber(const TSDByteArray& material, uint8_t tag, Secrecy secrecy) {
  int length = 0;
  const uint8_t* value = FindComponent(material, tag, &length);
  if (value == nullptr) return nullptr;
  BnPtr number(secrecy == Secrecy::kSecret ? BN_secure_new() : BN_new());
  if (!number || BN_bin2bn(value, length, number.get()) == nullptr)
    QORX_RAISE(sd::kNoMemory, kUnit);
  return number;
}

BnPtr RequiredNumber(const TSDByteArray& material, uint8_t tag, Secrecy secrecy) {
  BnPtr number = ComponentNumber(material, tag, secrecy);
  if (!number) RaiseIncomplete();
  return number;
}

// Hands n, e and d to `rsa`; it owns them from then on.
void SetKey(RSA* rsa, BnPtr& n, BnPtr& e, BnPtr& d) {
  if (RSA_set0_key(rsa, n.get(), e.get(), d.get()) != 1) QORX_RAISE(sd::kNoMemory, kUnit);
  n.release();
  e.release();
  d.release();
}

// Raw RSA through one of libcrypto's RSA_*_encrypt/decrypt calls. The result goes to a scratch
// buffer first, so a failure leaves the caller's bytes as they were. libcrypto writes a whole
// modulus to its output, so the modulus must be exactly as long as the buffer.
using RsaCall = int (*)(int, const unsigned char*, unsigned char*, RSA*, int);
void ApplyRsa(RsaCall call, RSA* rsa, uint8_t* buffer, int length, const char* failure) {
  if (RSA_size(rsa) != length) QORX_RAISEF(sd::kMalformed, kUnit, "%s", failure);
  TSDByteArray result(length);
  int n = call(length, buffer, result.WritableData(), rsa, RSA_NO_PADDING);
  if (n < 0) {
    ERR_clear_error();
    QORX_RAISEF(sd::kMalformed, kUnit, "%s", failure);
  }
  std::memcpy(buffer, result.Data(), static_cast<size_t>(length));
}

// d = e^-1 mod (p - 1)(q - 1), for CRT material that does not carry d.
BnPtr PrivateExponent(const BIGNUM* e, const BIGNUM* p, const BIGNUM* q, BN_CTX* ctx) {
  BnPtr p1(BN_secure_new()), q1(BN_secure_new()), phi(BN_secure_new()), d(BN_secure_new());
  if (!p1 || !q1 || !phi || !d || BN_sub(p1.get(), p, BN_value_one()) != 1 ||
      BN_sub(q1.get(), q, BN_value_one()) != 1 || BN_mul(phi.get(), p1.get(), q1.get(), ctx) != 1)
    QORX_RAISE(sd::kNoMemory, kUnit);
  if (BN_mod_inverse(d.get(), e, phi.get(), ctx) == nullptr) {
    ERR_clear_error();
    QORX_RAISEF(sd::kMalformed, kUnit, "RSA Encription error");
  }
  return d;
}

// Appends `number` as component `tag`, big-endian and right-aligned in `width` bytes.
void AddNumber(TSDByteArray& list, uint8_t tag, const BIGNUM* number, int width) {
  TSDByteArray field(width);
  if (number == nullptr || BN_bn2binpad(number, field.WritableData(), width) != width)
    QORX_RAISEF(sd::kMalformed, kUnit, "RSA Key generation error");
  AddComponent(list, tag, field);
}

// ---- DES --------------------------------------------------------------------------------------

// The key schedules of one DES operation, built from the key bytes and wiped when the
// operation ends, however it ends.
class DesKeys {
 public:
  DesKeys(const uint8_t* key, uint16_t keyLength) : triple_(keyLength > 15) {
    DES_set_key_unchecked(Block(key), &k1_);
    if (triple_) {
      DES_set_key_unchecked(Block(key + 8), &k2_);
      DES_set_key_unchecked(Block(keyLength >= 24 ? key + 16 : key), &k3_);
    }
  }
  DesKeys(const DesKeys&) = delete;
  DesKeys& operator=(const DesKeys&) = delete;
  ~DesKeys() {
    OPENSSL_cleanse(&k1_, sizeof k1_);
    OPENSSL_cleanse(&k2_, sizeof k2_);
    OPENSSL_cleanse(&k3_, sizeof k3_);
  }

  // Triple DES is encrypt-decrypt-encrypt; a two-key key uses K1 again as K3.
  void Encrypt(uint8_t* block) noexcept {
    Apply(block, &k1_, DES_ENCRYPT);
    if (triple_) {
      Apply(block, &k2_, DES_DECRYPT);
      Apply(block, &k3_, DES_ENCRYPT);
    }
  }
  void Decrypt(uint8_t* block) noexcept {
    if (triple_) {
      Apply(block, &k3_, DES_DECRYPT);
      Apply(block, &k2_, DES_ENCRYPT);
    }
    Apply(block, &k1_, DES_DECRYPT);
  }

 private:
  // libcrypto's "const" block type carries no const; it only reads through it.
  static const_DES_cblock* Block(const uint8_t* bytes) noexcept {
    return reinterpret_cast<const_DES_cblock*>(const_cast<uint8_t*>(bytes));
  }
  static void Apply(uint8_t* block, DES_key_schedule* schedule, int direction) noexcept {
    DES_ecb_encrypt(Block(block), reinterpret_cast<DES_cblock*>(block), schedule, direction);
  }

  bool triple_;
  DES_key_schedule k1_{};
  DES_key_schedule k2_{};
  DES_key_schedule k3_{};
};

// Wipes a small stack buffer on every way out of a scope.
class WipeOnExit {
 public:
  WipeOnExit(void* data, size_t length) noexcept : data_(data), length_(length) {}
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;
  ~WipeOnExit() { SecureWipe(data_, length_); }

 private:
  void* data_;
  size_t length_;
};

void RequireBlocks(const void* buffer, int length) {
  if (length % kBlock != 0) QORX_RAISEF(sd::kLength, kUnit, "buffer length must be multiple of 8");
  if (buffer == nullptr && length > 0) QORX_RAISE(sd::kInvalidArgument, kUnit);
}

void XorBlock(uint8_t* into, const uint8_t* with) noexcept {
  for (int i = 0; i < kBlock; ++i) into[i] ^= with[i];
}

// ---- random source ----------------------------------------------------------------------------

std::atomic<RandomBytesFunction> g_randomBytes{&RAND_bytes};
std::atomic<bool> g_seeded{false};

int DrawRandom(uint8_t* buffer, int length) {
  TSDSVCKeySetKeyVault::SeedRandom();
  int result = g_randomBytes.load()(buffer, length);
  if (result <= 0) {
    ERR_clear_error();
    QORX_RAISEF(sd::kExternal, kUnit, "RAND_bytes");
  }
  return result;
}

// Format 1 (the component list as it stands) is the only one there is; `direction` names the
// operation in the message: "import" or "export".
void RequireFormat(uint8_t format, const char* direction) {
  if (format != kKeyFormatComponents)
    QORX_RAISEF(sd::kInvalidArgument, kUnit, "unsupported %s format (format = %02X)", direction,
                static_cast<unsigned>(format));
}

// Hands `bytes` to the caller: into `buffer` when one is given (its capacity is *size), and
// their length through *size; returns the length.
int CopyOut(const TSDByteArray& bytes, uint8_t* buffer, int* size) {
  const int length = bytes.Length();
  if (buffer != nullptr) {
    if (*size < length)
      QORX_RAISEF(sd::kLength, kUnit, "output buffer must be at least %d bytes", length);
    if (length > 0) std::memcpy(buffer, bytes.Data(), static_cast<size_t>(length));
  }
  *size = length;
  return length;
}

bool IsKeyType(uint8_t type) noexcept {
  return type == keytype::kSecret || type == keytype::kRsaPublic || type == keytype::kRsaPrivate;
}

}  // namespace

RandomBytesFunction SetRandomBytesFunction(RandomBytesFunction function) noexcept {
  return g_randomBytes.exchange(function != nullptr ? function : &RAND_bytes);
}

// ---- TSDKeyVaultKeyNode -----------------------------------------------------------------------

TSDKeyVaultKeyNode::TSDKeyVaultKeyNode(TSDSVCKeySetKeyVault* vault, const uint8_t* identifier,
                                       uint8_t type, uint16_t keyLength, uint32_t attributes)
    : TSDKeyNode(vault, identifier, type, keyLength, attributes) {
  if (!IsKeyType(type)) QORX_RAISEF(sd::kInvalidArgument, kUnit, "Incorrect type");
}

TSDKeyVaultKeyNode::~TSDKeyVaultKeyNode() = default;

void TSDKeyVaultKeyNode::Release() {
  if (--refCount_ > 0) return;
  // The key set's list holds the node: taking it out of the list is what destroys it, so the
  // list never keeps a pointer to a freed node.
  if (keySet_ != nullptr && keySet_->IndexOfNode(this) >= 0) {
    keySet_->RemoveNode(this);
  } else {
    delete this;
  }
}

void TSDKeyVaultKeyNode::Import(int, uint8_t format, const uint8_t* data, int length) {
  RequireFormat(format, "import");
  const int minimum = keyLength_ + 2;
  if (length < minimum)
    QORX_RAISEF(sd::kLength, kUnit, "key length must be at least %d bytes", minimum);
  if (data == nullptr) QORX_RAISE(sd::kInvalidArgument, kUnit);
  // The first component is the key itself (0x80) or the modulus (0xA1 / 0xA2): its tag is
  // the key's type.
  if (data[0] != type_)
    QORX_RAISEF(sd::kMalformed, kUnit, "key type must be %02XX", static_cast<unsigned>(type_));

  TSDByteArray list(data, length);
  CheckComponents(list);
  if (type_ == keytype::kSecret) {
    int componentLength = 0;
    FindComponent(list, keytag::kSecretKey, &componentLength);
    // Parity is adjusted over the key length; those bytes must all be key bytes.
    if (componentLength < keyLength_)
      QORX_RAISEF(sd::kLength, kUnit, "key component must be at least %d bytes",
                  static_cast<int>(keyLength_));
    SetOddParity(list.WritableData() + 2, keyLength_);
  }
  material_ = list;
}

int TSDKeyVaultKeyNode::Export(int, uint8_t format, uint8_t* buffer, int* size) {
  RequireFormat(format, "export");
  if (size == nullptr) QORX_RAISE(sd::kInvalidArgument, kUnit);
  return CopyOut(material_, buffer, size);
}

int TSDKeyVaultKeyNode::ExportPublic(uint8_t format, uint8_t* buffer, int* size) {
  RequireFormat(format, "export");
  if (size == nullptr) QORX_RAISE(sd::kInvalidArgument, kUnit);
  TSDByteArray output;
  if (type_ == keytype::kRsaPrivate) {
    int modulusLength = 0, exponentLength = 0;
    const uint8_t* modulus = FindComponent(material_, keytag::kPrivateModulus, &modulusLength);
    const uint8_t* exponent = FindComponent(material_, keytag::kPublicExponent, &exponentLength);
    if (modulus == nullptr || exponent == nullptr) RaiseIncomplete();
    AddComponent(output, keytag::kPublicModulus, modulus, modulusLength);
    AddComponent(output, keytag::kPublicExponent, exponent, exponentLength);
  } else {
    CheckComponents(material_);
    output = material_;
  }
  return CopyOut(output, buffer, size);
}

void TSDKeyVaultKeyNode::GenerateSecret() {
  TSDByteArray key(keyLength_);
  DrawRandom(key.WritableData(), keyLength_);
  SetOddParity(key.WritableData(), keyLength_);
  TSDByteArray list;
  AddComponent(list, keytag::kSecretKey, key);
  material_ = list;
}

const uint8_t* TSDKeyVaultKeyNode::SecretKeyBytes() const {
  const int needed = keyLength_ >= 24 ? 24 : keyLength_ > 15 ? 16 : 8;
  int length = 0;
  const uint8_t* key = FindComponent(material_, keytag::kSecretKey, &length);
  if (key == nullptr || length < needed) RaiseIncomplete();
  return key;
}

void TSDKeyVaultKeyNode::EncryptECB(uint8_t* buffer, int length) {
  RequireBlocks(buffer, length);
  DesKeys keys(SecretKeyBytes(), keyLength_);
  for (int i = 0; i + kBlock <= length; i += kBlock) keys.Encrypt(buffer + i);
}

void TSDKeyVaultKeyNode::DecryptECB(uint8_t* buffer, int length) {
  RequireBlocks(buffer, length);
  DesKeys keys(SecretKeyBytes(), keyLength_);
  for (int i = 0; i + kBlock <= length; i += kBlock) keys.Decrypt(buffer + i);
}

void TSDKeyVaultKeyNode::EncryptCBC(const uint8_t* iv, uint8_t* buffer, int length,
                                    uint8_t* chainOut) {
  RequireBlocks(buffer, length);
  DesKeys keys(SecretKeyBytes(), keyLength_);
  uint8_t chain[kBlock] = {};
  WipeOnExit wipeChain(chain, sizeof chain);
  if (iv != nullptr) std::memcpy(chain, iv, kBlock);
  for (int i = 0; i + kBlock <= length; i += kBlock) {
    uint8_t* block = buffer + i;
    XorBlock(block, chain);
    keys.Encrypt(block);
    std::memcpy(chain, block, kBlock);
  }
  if (chainOut != nullptr) std::memcpy(chainOut, chain, kBlock);
}

void TSDKeyVaultKeyNode::DecryptCBC(const uint8_t* iv, uint8_t* buffer, int length,
                                    uint8_t* chainOut) {
  RequireBlocks(buffer, length);
  DesKeys keys(SecretKeyBytes(), keyLength_);
  uint8_t chain[kBlock] = {};
  uint8_t cipher[kBlock] = {};
  WipeOnExit wipeChain(chain, sizeof chain);
  WipeOnExit wipeCipher(cipher, sizeof cipher);
  if (iv != nullptr) std::memcpy(chain, iv, kBlock);
  for (int i = 0; i + kBlock <= length; i += kBlock) {
    uint8_t* block = buffer + i;
    std::memcpy(cipher, block, kBlock);
    keys.Decrypt(block);
    XorBlock(block, chain);
    std::memcpy(chain, cipher, kBlock);
  }
  if (chainOut != nullptr) std::memcpy(chainOut, chain, kBlock);
}

void TSDKeyVaultKeyNode::ComputeMAC(const uint8_t* iv, const uint8_t* data, int length,
                                    uint8_t* macOut) {
  RequireBlocks(data, length);
  if (iv == nullptr || macOut == nullptr) QORX_RAISE(sd::kInvalidArgument, kUnit);
  DesKeys keys(SecretKeyBytes(), keyLength_);
  uint8_t chain[kBlock];
  WipeOnExit wipeChain(chain, sizeof chain);
  std::memcpy(chain, iv, kBlock);
  for (int i = 0; i + kBlock <= length; i += kBlock) {
    XorBlock(chain, data + i);
    keys.Encrypt(chain);
  }
  std::memcpy(macOut, chain, kBlock);
}

void TSDKeyVaultKeyNode::PrivateKeyOperation(uint8_t* buffer, int length) {
  if (type_ != keytype::kRsaPrivate)
    QORX_RAISEF(sd::kInvalidArgument, kUnit, "key type must be RSA Private");
  if (length != keyLength_)
    QORX_RAISEF(sd::kLength, kUnit, "buffer length must be equal to key length");
  if (buffer == nullptr) QORX_RAISE(sd::kInvalidArgument, kUnit);
  static const char kFailure[] = "RSA Encription error";

  RsaPtr rsa(RSA_new());
  if (!rsa) QORX_RAISE(sd::kNoMemory, kUnit);
  const bool crt = HasComponent(material_, keytag::kExponentP) &&
                   HasComponent(material_, keytag::kExponentQ) &&
                   HasComponent(material_, keytag::kCoefficient);
  if (crt) {
    BnPtr p = RequiredNumber(material_, keytag::kPrimeP, Secrecy::kSecret);
    BnPtr q = RequiredNumber(material_, keytag::kPrimeQ, Secrecy::kSecret);
    BnPtr e = RequiredNumber(material_, keytag::kPublicExponent, Secrecy::kPublic);
    BnPtr dmp1 = RequiredNumber(material_, keytag::kExponentP, Secrecy::kSecret);
    BnPtr dmq1 = RequiredNumber(material_, keytag::kExponentQ, Secrecy::kSecret);
    BnPtr iqmp = RequiredNumber(material_, keytag::kCoefficient, Secrecy::kSecret);
    BnPtr n(BN_new());
    BnCtxPtr ctx(BN_CTX_secure_new());
    if (!n || !ctx || BN_mul(n.get(), p.get(), q.get(), ctx.get()) != 1)
      QORX_RAISE(sd::kNoMemory, kUnit);
    // libcrypto checks every CRT result and, when the check fails (inconsistent material),
    // recomputes it with d, which it then dereferences unconditionally: d must be there.
    BnPtr d = ComponentNumber(material_, keytag::kPrivateExponent, Secrecy::kSecret);
    if (!d) d = PrivateExponent(e.get(), p.get(), q.get(), ctx.get());
    SetKey(rsa.get(), n, e, d);
    if (RSA_set0_factors(rsa.get(), p.get(), q.get()) != 1) QORX_RAISE(sd::kNoMemory, kUnit);
    p.release();
    q.release();
    if (RSA_set0_crt_params(rsa.get(), dmp1.get(), dmq1.get(), iqmp.get()) != 1)
      QORX_RAISE(sd::kNoMemory, kUnit);
    dmp1.release();
    dmq1.release();
    iqmp.release();
    ApplyRsa(&RSA_private_encrypt, rsa.get(), buffer, length, kFailure);
  } else {
    // Without the CRT parts the private exponent stands in the public exponent's place, and
    // the public operation computes buffer^d mod n.
    BnPtr n = RequiredNumber(material_, keytag::kPrivateModulus, Secrecy::kPublic);
    BnPtr d = RequiredNumber(material_, keytag::kPrivateExponent, Secrecy::kSecret);
    BnPtr none;
    SetKey(rsa.get(), n, d, none);
    ApplyRsa(&RSA_public_encrypt, rsa.get(), buffer, length, kFailure);
  }
}

void TSDKeyVaultKeyNode::PublicKeyOperation(uint8_t* buffer, int length) {
  if (length != keyLength_)
    QORX_RAISEF(sd::kLength, kUnit, "buffer length must be equal to key length");
  if (buffer == nullptr) QORX_RAISE(sd::kInvalidArgument, kUnit);
  const uint8_t modulusTag =
      type_ == keytype::kRsaPublic ? keytag::kPublicModulus : keytag::kPrivateModulus;
  BnPtr n = RequiredNumber(material_, modulusTag, Secrecy::kPublic);
  BnPtr e = RequiredNumber(material_, keytag::kPublicExponent, Secrecy::kPublic);
  BnPtr none;
  RsaPtr rsa(RSA_new());
  if (!rsa) QORX_RAISE(sd::kNoMemory, kUnit);
  SetKey(rsa.get(), n, e, none);
  ApplyRsa(&RSA_public_decrypt, rsa.get(), buffer, length, "RSA Decription error");
}

void TSDKeyVaultKeyNode::GenerateKeyPair(uint32_t publicExponent) {
  // A modulus above 256 bytes cannot be held as a component.
  if (keyLength_ > 256) QORX_RAISEF(sd::kMalformed, kUnit, "RSA Key generation error");
  TSDSVCKeySetKeyVault::SeedRandom();
  RsaPtr rsa(RSA_new());
  BnPtr exponent(BN_new());
  if (!rsa || !exponent || BN_set_word(exponent.get(), publicExponent) != 1)
    QORX_RAISE(sd::kNoMemory, kUnit);
  if (RSA_generate_key_ex(rsa.get(), keyLength_ * 8, exponent.get(), nullptr) != 1) {
    ERR_clear_error();
    QORX_RAISEF(sd::kMalformed, kUnit, "RSA Key generation error");
  }
  const BIGNUM *n = nullptr, *e = nullptr, *d = nullptr, *p = nullptr, *q = nullptr;
  const BIGNUM *dmp1 = nullptr, *dmq1 = nullptr, *iqmp = nullptr;
  RSA_get0_key(rsa.get(), &n, &e, &d);
  RSA_get0_factors(rsa.get(), &p, &q);
  RSA_get0_crt_params(rsa.get(), &dmp1, &dmq1, &iqmp);
  if (n == nullptr || e == nullptr) QORX_RAISEF(sd::kMalformed, kUnit, "RSA Key generation error");

  const int m = BN_num_bytes(n);
  const int h = (m + 1) / 2;
  TSDByteArray list;
  AddNumber(list, keytag::kPrivateModulus, n, m);
  AddNumber(list, keytag::kPrivateExponent, d, m);
  AddNumber(list, keytag::kPrimeP, p, h);
  AddNumber(list, keytag::kPrimeQ, q, h);
  AddNumber(list, keytag::kCoefficient, iqmp, h);
  AddNumber(list, keytag::kExponentP, dmp1, h);
  AddNumber(list, keytag::kExponentQ, dmq1, h);
  AddNumber(list, keytag::kPublicExponent, e, BN_num_bytes(e));
  material_ = list;
}

// ---- TSDSVCKeySetKeyVault ---------------------------------------------------------------------

TSDSVCKeySetKeyVault::~TSDSVCKeySetKeyVault() {
  try {
    Close();
  } catch (...) {
    // Only shrinking the list can fail (no memory); the list's destructor frees the rest.
  }
}

void TSDSVCKeySetKeyVault::Close() {
  TSDObjectArray& keys = Keys();
  for (int32_t i = keys.Count() - 1; i >= 0; --i) {
    auto* node = static_cast<TSDKeyNode*>(keys.At(i));
    if (node != nullptr) {
      RemoveNode(node);
    } else {
      keys.RemoveRange(i, 1);
    }
  }
}

namespace {
TSDKeyVaultKeyNode* NewNode(TSDSVCKeySetKeyVault* vault, const uint8_t* identifier, uint8_t type,
                            uint16_t keyLength, uint32_t attributes) {
  try {
    return new TSDKeyVaultKeyNode(vault, identifier, type, keyLength, attributes);
  } catch (const ESDException& e) {
    if (e.Code() == sd::kNoMemory) QORX_RAISEF(sd::kNoMemory, kUnit, "key cannot be created");
    throw;
  }
}
}  // namespace

TSDKeyNode* TSDSVCKeySetKeyVault::CreateKey(const uint8_t* identifier, uint8_t type,
                                            uint16_t keyLength, uint32_t attributes) {
  if (identifier == nullptr) QORX_RAISE(sd::kInvalidArgument, kUnit);
  if ((attributes & kKeyHidden) == 0 && FindNode(identifier) != nullptr)
    QORX_RAISEF(sd::kInvalidArgument, kUnit, "key already exists");
  TSDKeyNode* node = NewNode(this, identifier, type, keyLength, attributes);
  AddNode(node);  // on failure the list has already destroyed the node
  node->AddRef();
  return node;
}

TSDKeyNode* TSDSVCKeySetKeyVault::DeriveKey(TSDKeyNode* source, int mode, const uint8_t* data,
                                            int length) {
  if (source == nullptr || data == nullptr) QORX_RAISE(sd::kInvalidArgument, kUnit);
  if (source->Type() != keytype::kSecret || (length != 8 && length != 16 && length != 24))
    QORX_RAISE(sd::kInvalidArgument, kUnit);

  TSDByteArray key(length);
  uint8_t* bytes = key.WritableData();
  if (mode == 1) {
    if (length != source->KeyLength()) QORX_RAISE(sd::kInvalidArgument, kUnit);
    int sourceLength = 0;
    const uint8_t* sourceKey = FindComponent(source->Material(), keytag::kSecretKey, &sourceLength);
    if (sourceKey == nullptr || sourceLength < length) RaiseIncomplete();
    for (int i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(sourceKey[i] ^ data[i]);
  } else if (mode == 2) {
    std::memcpy(bytes, data, static_cast<size_t>(length));
    source->EncryptECB(bytes, length);
    SetOddParity(bytes, length);
  } else {
    QORX_RAISE(sd::kInvalidArgument, kUnit);
  }
  // Both modes store the key as one 0x80 component, as every secret key is held.
  TSDByteArray material;
  AddComponent(material, keytag::kSecretKey, key);

  TSDKeyVaultKeyNode* node = NewNode(this, source->Identifier(), source->Type(),
                                     static_cast<uint16_t>(length & 0xFF), 0xC000);
  node->material_ = material;
  AddNode(node);
  node->AddRef();
  return node;
}

TSDKeyNode* TSDSVCKeySetKeyVault::FindKey(const uint8_t* identifier) {
  TSDKeyNode* node = FindNode(identifier);
  if (node != nullptr) node->AddRef();
  return node;
}

void TSDSVCKeySetKeyVault::DeleteKey(const uint8_t* identifier) {
  TSDKeyNode* node = FindKey(identifier);
  if (node == nullptr) QORX_RAISEF(sd::kKeyNotFound, kUnit, "key cannot be found");
  TSDKeyNodeRef lookup(node);
  node->Retire();
  // Give back the lookup's reference, then the list's. When nobody else holds the key, the
  // second release takes it out of the list and destroys it; otherwise the last holder's
  // Release does that later.
  lookup.Reset();
  node->Release();
}

int TSDSVCKeySetKeyVault::GenerateRandom(uint8_t* buffer, int length) {
  if (buffer == nullptr && length > 0) QORX_RAISE(sd::kInvalidArgument, kUnit);
  return DrawRandom(buffer, length);
}

void TSDSVCKeySetKeyVault::SeedRandom() {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  RAND_seed(&now, sizeof now);
  if (g_seeded.load()) return;
  // Once per process, a reading of the fine clock as well. libcrypto seeds itself from the
  // operating system; this adds to it and must never make the first call wait.
  timespec fine{};
  clock_gettime(CLOCK_MONOTONIC, &fine);
  RAND_seed(&fine, sizeof fine);
  g_seeded.store(true);
}

// ---- TSDKeySetKeyVaultFactory -----------------------------------------------------------------

TSDKeySetKeyVaultFactory& TSDKeySetKeyVaultFactory::Instance() {
  static TSDKeySetKeyVaultFactory* const instance = new TSDKeySetKeyVaultFactory();
  return *instance;
}

int TSDKeySetKeyVaultFactory::EnumerateNames(char* buffer, int* size) {
  // The one name and the empty name that ends the multi-string.
  static const char kNames[] = "DEFAULT\0";
  constexpr int kNamesLength = static_cast<int>(sizeof kNames);  // 9
  if (size == nullptr) QORX_RAISE(sd::kInvalidArgument, kUnit);
  if (buffer != nullptr) {
    if (*size < kNamesLength)
      QORX_RAISEF(sd::kLength, kUnit, "output buffer must be at least %d bytes", kNamesLength);
    std::memcpy(buffer, kNames, kNamesLength);
  }
  *size = kNamesLength;
  return 1;
}

TSDBaseService* TSDKeySetKeyVaultFactory::CreateService(const char* name) {
  return new TSDSVCKeySetKeyVault(name);
}

}  // namespace qorx
