#pragma once

#include <cstdint>
#include <memory>

#include "crypto/KeySet.h"
#include "transport/BaseServices.h"

namespace qorx {

class TSDSVCKeySetKeyVault;

// libcrypto's form of a node's public key, kept between operations (in KeyVaultRsa.cpp).
struct PublicRsaCache;
struct PublicRsaCacheFree {
  void operator()(PublicRsaCache* cache) const noexcept;
};

// A key held in memory by the key vault. DES, triple DES and raw RSA come from libcrypto; the
// node adds the key formats, the checks and the chaining modes.
class TSDKeyVaultKeyNode : public TSDKeyNode {
 public:
  // Raises 0xC100 "Incorrect type" for a type other than 0x80, 0xA1 and 0xA2.
  TSDKeyVaultKeyNode(TSDSVCKeySetKeyVault* vault, const uint8_t* identifier, uint8_t type,
                     uint16_t keyLength, uint32_t attributes);
  ~TSDKeyVaultKeyNode() override;

  void Release() override;
  void Import(int reserved, uint8_t format, const uint8_t* data, int length) override;
  int Export(int reserved, uint8_t format, uint8_t* buffer, int* size) override;
  int ExportPublic(uint8_t format, uint8_t* buffer, int* size) override;
  void GenerateSecret() override;
  void EncryptECB(uint8_t* buffer, int length) override;
  void DecryptECB(uint8_t* buffer, int length) override;
  void EncryptCBC(const uint8_t* iv, uint8_t* buffer, int length, uint8_t* chainOut) override;
  void DecryptCBC(const uint8_t* iv, uint8_t* buffer, int length, uint8_t* chainOut) override;
  void ComputeMAC(const uint8_t* iv, const uint8_t* data, int length, uint8_t* macOut) override;
  void PrivateKeyOperation(uint8_t* buffer, int length) override;
  void PublicKeyOperation(uint8_t* buffer, int length) override;
  void GenerateKeyPair(uint32_t publicExponent) override;

 private:
  friend class TSDSVCKeySetKeyVault;  // fills derived keys

  // The 0x80 component's value, checked to hold the bytes the key length asks for.
  const uint8_t* SecretKeyBytes() const;

  // Made at the first public operation and again whenever the modulus or exponent differs:
  // setting a key up costs libcrypto as much as the operation itself.
  std::unique_ptr<PublicRsaCache, PublicRsaCacheFree> publicRsa_;
};

// The in-memory key set: keys by 16-byte identifier, random bytes from libcrypto.
class TSDSVCKeySetKeyVault : public TSDSVCKeySet {
 public:
  explicit TSDSVCKeySetKeyVault(const char* name) : TSDSVCKeySet(name) {}
  ~TSDSVCKeySetKeyVault() override;

  // Destroys every key, last to first, whoever still holds it.
  void Close() override;

  TSDKeyNode* CreateKey(const uint8_t* identifier, uint8_t type, uint16_t keyLength,
                        uint32_t attributes) override;
  // Mode 1: source key XOR data; mode 2: data enciphered under the source key, odd parity. The
  // new key is hidden and carries the source's identifier and type.
  TSDKeyNode* DeriveKey(TSDKeyNode* source, int mode, const uint8_t* data, int length) override;
  TSDKeyNode* FindKey(const uint8_t* identifier) override;
  // Clears and hides the key and gives back the lookup's and the list's references; holders
  // of further references keep a husk until they release it.
  void DeleteKey(const uint8_t* identifier) override;
  // Returns the libcrypto result (positive); 0xC000 "RAND_bytes" when it fails.
  int GenerateRandom(uint8_t* buffer, int length) override;

  // Mixes the time into libcrypto's generator; the first call in a process also mixes in one
  // reading of the monotonic clock (nanoseconds). It never waits.
  static void SeedRandom();
};

// Makes key vaults; its one instance name is "DEFAULT".
class TSDKeySetKeyVaultFactory : public TSDBaseServiceFactory {
 public:
  // The process-wide factory, created on first request and never destroyed.
  static TSDKeySetKeyVaultFactory& Instance();

  int EnumerateNames(char* buffer, int* size) override;
  TSDBaseService* CreateService(const char* name) override;

 private:
  TSDKeySetKeyVaultFactory() : TSDBaseServiceFactory("KeySet.KeyVault") {}
};

}  // namespace qorx
