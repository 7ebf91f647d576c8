// The key node's raw RSA operations and key pair generation.
//
// libcrypto 3 marks the low-level RSA calls deprecated. The vault needs raw RSA without padding
// on keys assembled from our own component lists. The suppression stays in this file and
// KeyVaultDes.cpp; everything else builds with deprecation warnings as errors.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/rsa.h>

#include <cstring>
#include <memory>

#include "core/Exceptions.h"
#include "crypto/KeyComponents.h"
#include "crypto/KeyVault.h"
#include "crypto/KeyVaultInternal.h"

namespace qorx {

namespace {

constexpr const char* kUnit = unit::kKeySetKeyVault;

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
  if (!number) detail::RaiseIncompleteKey();
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

}  // namespace

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

struct PublicRsaCache {
  RsaPtr rsa;
  TSDByteArray modulus;
  TSDByteArray exponent;

  bool Holds(const uint8_t* n, int nLength, const uint8_t* e, int eLength) const {
    return modulus.Length() == nLength && exponent.Length() == eLength &&
           std::memcmp(modulus.Data(), n, static_cast<size_t>(nLength)) == 0 &&
           std::memcmp(exponent.Data(), e, static_cast<size_t>(eLength)) == 0;
  }
};

void PublicRsaCacheFree::operator()(PublicRsaCache* cache) const noexcept {
  delete cache;
}

void TSDKeyVaultKeyNode::PublicKeyOperation(uint8_t* buffer, int length) {
  if (length != keyLength_)
    QORX_RAISEF(sd::kLength, kUnit, "buffer length must be equal to key length");
  if (buffer == nullptr) QORX_RAISE(sd::kInvalidArgument, kUnit);
  const uint8_t modulusTag =
      type_ == keytype::kRsaPublic ? keytag::kPublicModulus : keytag::kPrivateModulus;
  int nLength = 0, eLength = 0;
  const uint8_t* nBytes = FindComponent(material_, modulusTag, &nLength);
  const uint8_t* eBytes = FindComponent(material_, keytag::kPublicExponent, &eLength);
  if (nBytes == nullptr || eBytes == nullptr) detail::RaiseIncompleteKey();
  if (!publicRsa_ || !publicRsa_->Holds(nBytes, nLength, eBytes, eLength)) {
    publicRsa_.reset();
    BnPtr n = RequiredNumber(material_, modulusTag, Secrecy::kPublic);
    BnPtr e = RequiredNumber(material_, keytag::kPublicExponent, Secrecy::kPublic);
    BnPtr none;
    std::unique_ptr<PublicRsaCache, PublicRsaCacheFree> cache(new PublicRsaCache);
    cache->rsa.reset(RSA_new());
    if (!cache->rsa) QORX_RAISE(sd::kNoMemory, kUnit);
    SetKey(cache->rsa.get(), n, e, none);
    cache->modulus = TSDByteArray(nBytes, nLength);
    cache->exponent = TSDByteArray(eBytes, eLength);
    publicRsa_ = std::move(cache);
  }
  ApplyRsa(&RSA_public_decrypt, publicRsa_->rsa.get(), buffer, length, "RSA Decription error");
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
}  // namespace qorx
