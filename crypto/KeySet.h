#pragma once

#include <cstdint>

#include "core/ByteArray.h"
#include "core/Objects.h"
#include "transport/BaseServices.h"

namespace qorx {

// Key types: the byte stored in every key.
namespace keytype {
constexpr uint8_t kSecret = 0x80;      // DES / triple DES; key length 8, 16 or 24 bytes
constexpr uint8_t kRsaPublic = 0xA1;   // key length = modulus bytes
constexpr uint8_t kRsaPrivate = 0xA2;  // key length = modulus bytes
}  // namespace keytype

// Component tags of key material (a key component list, see crypto/KeyComponents.h).
namespace keytag {
constexpr uint8_t kSecretKey = 0x80;
constexpr uint8_t kPublicExponent = 0xA0;
constexpr uint8_t kPublicModulus = 0xA1;
constexpr uint8_t kPrivateModulus = 0xA2;
constexpr uint8_t kPrivateExponent = 0xA3;
constexpr uint8_t kPrimeP = 0xA4;
constexpr uint8_t kPrimeQ = 0xA5;
constexpr uint8_t kCoefficient = 0xA6;  // q^-1 mod p
constexpr uint8_t kExponentP = 0xA7;    // d mod (p - 1)
constexpr uint8_t kExponentQ = 0xA8;    // d mod (q - 1)
}  // namespace keytag

// Attribute bits given at key creation; only these two are kept.
constexpr uint32_t kKeyHidden = 0x4000;  // never found by identifier; duplicates allowed
constexpr uint32_t kKeyBit15 = 0x8000;   // kept, read by nothing

// The only import/export format: the material's component list byte for byte.
constexpr uint8_t kKeyFormatComponents = 1;

constexpr int kKeyIdentifierLength = 16;

class TSDSVCKeySet;

// A handle on one key of a key set. Key bytes leave a key only through Export/ExportPublic.
//
// Nodes are reference counted: the key set's list holds one reference, and every CreateKey,
// DeriveKey and FindKey hands one more to its caller, who gives it back with Release (or lets
// a TSDKeyNodeRef do that). Nodes are owned by their key set; never delete one directly.
class TSDKeyNode : public TSDObject {
 public:
  TSDKeyNode(TSDSVCKeySet* keySet, const uint8_t* identifier, uint8_t type, uint16_t keyLength,
             uint32_t attributes);
  TSDKeyNode(const TSDKeyNode&) = delete;
  TSDKeyNode& operator=(const TSDKeyNode&) = delete;
  ~TSDKeyNode() override;

  // Gives back one reference; the last one takes the node out of its key set.
  virtual void Release() = 0;
  virtual void Import(int reserved, uint8_t format, const uint8_t* data, int length) = 0;
  // `size`: in, the buffer's capacity; out, the material's length. A null buffer only
  // reports the length. Returns the length.
  virtual int Export(int reserved, uint8_t format, uint8_t* buffer, int* size) = 0;
  virtual int ExportPublic(uint8_t format, uint8_t* buffer, int* size) = 0;
  virtual void GenerateSecret() = 0;
  virtual void EncryptECB(uint8_t* buffer, int length) = 0;
  virtual void DecryptECB(uint8_t* buffer, int length) = 0;
  // `iv` null means eight zero bytes; `chainOut` (optional) receives the last chain block.
  virtual void EncryptCBC(const uint8_t* iv, uint8_t* buffer, int length, uint8_t* chainOut) = 0;
  virtual void DecryptCBC(const uint8_t* iv, uint8_t* buffer, int length, uint8_t* chainOut) = 0;
  virtual void ComputeMAC(const uint8_t* iv, const uint8_t* data, int length, uint8_t* macOut) = 0;
  // Raw RSA without padding, in place; `length` must be the key length.
  virtual void PrivateKeyOperation(uint8_t* buffer, int length) = 0;
  virtual void PublicKeyOperation(uint8_t* buffer, int length) = 0;
  virtual void GenerateKeyPair(uint32_t publicExponent) = 0;

  // output := the private (public) operation applied to a copy of input. On failure the
  // output is left as it was.
  TSDByteArray& PrivateOperation(TSDByteArray& output, const TSDByteArray& input);
  TSDByteArray& PublicOperation(TSDByteArray& output, const TSDByteArray& input);
  // PKCS #1 v1.5 block of the key length around `data` (block type 01 for selector 0xA2, else
  // 02; non-zero filler bytes replace the 0xFF padding from byte 2 on), then the private
  // operation for selector 0xA2 and the public operation otherwise.
  TSDByteArray& EncodeAndApply(TSDByteArray& output, uint8_t selector, const TSDByteArray& filler,
                               const TSDByteArray& data);

  void AddRef() noexcept { ++refCount_; }
  // Used by the key set when the key is deleted: clears identity, attributes and material
  // and hides the node from every lookup.
  void Retire();

  const TSDByteArray& Material() const noexcept { return material_; }
  const uint8_t* Identifier() const noexcept { return identifier_; }
  uint8_t Type() const noexcept { return type_; }
  uint16_t KeyLength() const noexcept { return keyLength_; }
  bool Hidden() const noexcept { return hidden_ != 0; }
  TSDSVCKeySet* KeySet() const noexcept { return keySet_; }

 protected:
  TSDByteArray material_;  // key component list; empty until imported or generated
  uint8_t identifier_[kKeyIdentifierLength] = {};
  uint8_t type_;
  uint16_t keyLength_;
  int32_t hidden_;
  int32_t attribute15_;
  TSDSVCKeySet* keySet_;  // the owning key set; not a counted reference
};

// A key set service: keeps key nodes by identifier and makes new ones.
class TSDSVCKeySet : public TSDBaseService {
 public:
  explicit TSDSVCKeySet(const char* name) : TSDBaseService(name) {}

  // Appends the node to the list (which then owns it, also when appending fails).
  virtual TSDKeyNode* AddNode(TSDKeyNode* node);
  // First visible node with these 16 identifier bytes; no reference is taken.
  virtual TSDKeyNode* FindNode(const uint8_t* identifier);
  // Takes the node out of the list and destroys it; nothing when it is not listed.
  virtual void RemoveNode(TSDKeyNode* node);

  // Each of these hands the caller one reference.
  virtual TSDKeyNode* CreateKey(const uint8_t* identifier, uint8_t type, uint16_t keyLength,
                                uint32_t attributes) = 0;
  virtual TSDKeyNode* DeriveKey(TSDKeyNode* source, int mode, const uint8_t* data, int length) = 0;
  virtual TSDKeyNode* FindKey(const uint8_t* identifier) = 0;
  virtual void DeleteKey(const uint8_t* identifier) = 0;
  virtual int GenerateRandom(uint8_t* buffer, int length) = 0;

  // Position of the node in the list, or -1.
  int32_t IndexOfNode(const TSDKeyNode* node) const noexcept;
  int32_t NodeCount() const noexcept { return keys_.Count(); }

 protected:
  TSDObjectArray& Keys() noexcept { return keys_; }

 private:
  TSDObjectArray keys_;
};

// Holds one reference on a key node and gives it back when it goes out of scope.
class TSDKeyNodeRef {
 public:
  TSDKeyNodeRef() noexcept = default;
  // Takes over a reference the caller already holds (as CreateKey/FindKey return it).
  explicit TSDKeyNodeRef(TSDKeyNode* node) noexcept : node_(node) {}
  TSDKeyNodeRef(const TSDKeyNodeRef&) = delete;
  TSDKeyNodeRef& operator=(const TSDKeyNodeRef&) = delete;
  TSDKeyNodeRef(TSDKeyNodeRef&& other) noexcept : node_(other.node_) { other.node_ = nullptr; }
  TSDKeyNodeRef& operator=(TSDKeyNodeRef&& other) noexcept;
  ~TSDKeyNodeRef() { Reset(); }

  TSDKeyNode* Get() const noexcept { return node_; }
  TSDKeyNode* operator->() const noexcept { return node_; }
  explicit operator bool() const noexcept { return node_ != nullptr; }
  // Gives the reference back now (failures while doing so are swallowed).
  void Reset() noexcept;

 private:
  TSDKeyNode* node_ = nullptr;
};

// A hidden key made for one operation (a card's or a CA's public key while a block is
// enciphered or a signature checked). Going out of scope destroys it rather than only giving
// back the caller's reference: the key set's own reference would otherwise keep one more key
// per operation alive until the key set closes.
class TSDScratchKey {
 public:
  // CreateKey(16 zero bytes, type, keyLength, hidden) in `keySet`.
  TSDScratchKey(TSDSVCKeySet& keySet, uint8_t type, uint16_t keyLength);
  TSDScratchKey(const TSDScratchKey&) = delete;
  TSDScratchKey& operator=(const TSDScratchKey&) = delete;
  ~TSDScratchKey();
  TSDKeyNode* Get() const noexcept { return node_; }
  TSDKeyNode* operator->() const noexcept { return node_; }

 private:
  TSDKeyNode* node_;
};

}  // namespace qorx
