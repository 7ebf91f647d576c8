// The key node's DES and triple DES: ECB, CBC and the MAC.
//
// libcrypto 3 marks the low-level DES calls deprecated. The vault needs raw single DES, which
// the EVP layer only offers through the legacy provider. The suppression stays in this file and
// KeyVaultRsa.cpp; everything else builds with deprecation warnings as errors.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <openssl/crypto.h>
#include <openssl/des.h>

#include <cstring>

#include "core/Exceptions.h"
#include "core/Wipe.h"
#include "crypto/KeyComponents.h"
#include "crypto/KeyVault.h"
#include "crypto/KeyVaultInternal.h"

namespace qorx {

namespace {

constexpr const char* kUnit = unit::kKeySetKeyVault;
constexpr int kBlock = 8;

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

}  // namespace

const uint8_t* TSDKeyVaultKeyNode::SecretKeyBytes() const {
  const int needed = keyLength_ >= 24 ? 24 : keyLength_ > 15 ? 16 : 8;
  int length = 0;
  const uint8_t* key = FindComponent(material_, keytag::kSecretKey, &length);
  if (key == nullptr || length < needed) detail::RaiseIncompleteKey();
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
}  // namespace qorx
