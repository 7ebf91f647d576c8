// Key nodes (their formats and lifetime), the vault and its factory. The nodes' DES and RSA
// operations are in KeyVaultDes.cpp and KeyVaultRsa.cpp.
#include "crypto/KeyVault.h"

#include <openssl/err.h>
#include <openssl/rand.h>

#include <atomic>
#include <cstring>
#include <ctime>

#include "core/Exceptions.h"
#include "crypto/KeyComponents.h"
#include "crypto/KeyVaultInternal.h"
#include "crypto/RandomSource.h"

namespace qorx {

namespace detail {
void RaiseIncompleteKey() {
  QORX_RAISEF(sd::kMalformed, unit::kKeySetKeyVault, "key material is incomplete");
}
}  // namespace detail

namespace {

constexpr const char* kUnit = unit::kKeySetKeyVault;

// ---- random source ----------------------------------------------------------------------------

std::atomic<bool> g_seeded{false};

int DrawRandom(uint8_t* buffer, int length) {
  TSDSVCKeySetKeyVault::SeedRandom();
  int result = detail::RandomBytes(buffer, length);
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
    if (modulus == nullptr || exponent == nullptr) detail::RaiseIncompleteKey();
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
    if (sourceKey == nullptr || sourceLength < length) detail::RaiseIncompleteKey();
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
