#include "crypto/KeySet.h"

#include <cstring>

#include "core/Exceptions.h"
#include "core/Wipe.h"

namespace qorx {

// ---- TSDKeyNode -------------------------------------------------------------------------------

TSDKeyNode::TSDKeyNode(TSDSVCKeySet* keySet, const uint8_t* identifier, uint8_t type,
                       uint16_t keyLength, uint32_t attributes)
    : type_(type),
      keyLength_(keyLength),
      hidden_((attributes & kKeyHidden) != 0 ? 1 : 0),
      attribute15_(static_cast<int32_t>(attributes & kKeyBit15)),
      keySet_(keySet) {
  if (identifier != nullptr) std::memcpy(identifier_, identifier, sizeof identifier_);
}

TSDKeyNode::~TSDKeyNode() {
  SecureWipe(identifier_, sizeof identifier_);
}

void TSDKeyNode::Retire() {
  // Dropping the material first: it is the only step that can fail (no memory), and then the
  // key stays as it was. The old block is wiped as it is released.
  material_ = TSDByteArray();
  SecureWipe(identifier_, sizeof identifier_);
  type_ = 0;
  keyLength_ = 0;
  hidden_ = 1;
  attribute15_ = 0;
}

TSDByteArray& TSDKeyNode::PrivateOperation(TSDByteArray& output, const TSDByteArray& input) {
  TSDByteArray result(input.Data(), input.Length());
  PrivateKeyOperation(result.WritableData(), result.Length());
  output = result;
  return output;
}

TSDByteArray& TSDKeyNode::PublicOperation(TSDByteArray& output, const TSDByteArray& input) {
  TSDByteArray result(input.Data(), input.Length());
  PublicKeyOperation(result.WritableData(), result.Length());
  output = result;
  return output;
}

TSDByteArray& TSDKeyNode::EncodeAndApply(TSDByteArray& output, uint8_t selector,
                                         const TSDByteArray& filler, const TSDByteArray& data) {
  const int32_t k = keyLength_;
  const int32_t dataLength = data.Length();
  // At least 8 padding bytes plus the two header bytes and the separator must fit.
  if (k - 11 < dataLength)
    QORX_RAISEF(sd::kMalformed, unit::kBaseServices, "data too big to be encoded");

  //  00 | BT | padding (FF, or the caller's non-zero filler bytes) | 00 | data
  TSDByteArray block(k);
  uint8_t* b = block.WritableData();
  std::memset(b, 0xFF, static_cast<size_t>(k));
  b[0] = 0x00;
  b[1] = selector == keytype::kRsaPrivate ? 0x01 : 0x02;
  // Filler beyond the padding area is overwritten by the separator and data below; filler
  // beyond the block is never looked at.
  int32_t fillerLength = filler.Length();
  if (fillerLength > k - 2) fillerLength = k - 2;
  for (int32_t i = 0; i < fillerLength; ++i) {
    uint8_t f = filler.ByteAt(i);
    if (f != 0) b[2 + i] = f;
  }
  b[k - dataLength - 1] = 0x00;
  if (dataLength > 0) std::memcpy(b + k - dataLength, data.Data(), static_cast<size_t>(dataLength));

  if (selector == keytype::kRsaPrivate) return PrivateOperation(output, block);
  return PublicOperation(output, block);
}

// ---- TSDSVCKeySet -----------------------------------------------------------------------------

TSDKeyNode* TSDSVCKeySet::AddNode(TSDKeyNode* node) {
  keys_.Add(node);
  return node;
}

TSDKeyNode* TSDSVCKeySet::FindNode(const uint8_t* identifier) {
  if (identifier == nullptr) return nullptr;
  for (int32_t i = 0; i < keys_.Count(); ++i) {
    auto* node = static_cast<TSDKeyNode*>(keys_.At(i));
    if (node == nullptr || node->Hidden()) continue;
    if (std::memcmp(node->Identifier(), identifier, kKeyIdentifierLength) == 0) return node;
  }
  return nullptr;
}

void TSDSVCKeySet::RemoveNode(TSDKeyNode* node) {
  int32_t i = IndexOfNode(node);
  if (i >= 0) keys_.RemoveRange(i, 1);
}

int32_t TSDSVCKeySet::IndexOfNode(const TSDKeyNode* node) const noexcept {
  if (node == nullptr) return -1;
  for (int32_t i = 0; i < keys_.Count(); ++i) {
    if (keys_.At(i) == node) return i;
  }
  return -1;
}

// ---- TSDKeyNodeRef ----------------------------------------------------------------------------

TSDKeyNodeRef& TSDKeyNodeRef::operator=(TSDKeyNodeRef&& other) noexcept {
  if (this != &other) {
    Reset();
    node_ = other.node_;
    other.node_ = nullptr;
  }
  return *this;
}

void TSDKeyNodeRef::Reset() noexcept {
  TSDKeyNode* node = node_;
  node_ = nullptr;
  if (node == nullptr) return;
  try {
    node->Release();
  } catch (...) {
    // Only shrinking the key list can fail here (no memory); the node is gone either way.
  }
}

// ---- TSDScratchKey ----------------------------------------------------------------------------

TSDScratchKey::TSDScratchKey(TSDSVCKeySet& keySet, uint8_t type, uint16_t keyLength)
    : node_(nullptr) {
  static constexpr uint8_t kNoIdentifier[kKeyIdentifierLength] = {};
  node_ = keySet.CreateKey(kNoIdentifier, type, keyLength, kKeyHidden);
}

TSDScratchKey::~TSDScratchKey() {
  if (node_ == nullptr) return;
  try {
    node_->Retire();
  } catch (...) {
    // The material could not be dropped (no memory); it is wiped when the node goes below.
  }
  try {
    // Ours, then the key set's: the second takes the node out of the list and destroys it.
    node_->Release();
    node_->Release();
  } catch (...) {
    // Removal from the list only shrinks it; nothing is left to do when even that fails.
  }
}

}  // namespace qorx
