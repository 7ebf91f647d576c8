#include "applet/SecureChannelProtocol.h"

#include <cstring>

#include "core/Exceptions.h"
#include "core/Wipe.h"

namespace qorx {

TISDSecureChannelProtocol::TISDSecureChannelProtocol(const ApplicationId& application,
                                                     TSDSVCKeySet* keySet)
    : application_(application), keySet_(keySet) {}

TISDSecureChannelProtocol::~TISDSecureChannelProtocol() {
  Reset();
  SecureWipe(hostChallenge_, sizeof hostChallenge_);
}

void TISDSecureChannelProtocol::Reset() noexcept {
  channelFlag_ = 0;
  resetField_ = 0;
  SecureWipe(chainingValue_, sizeof chainingValue_);
  for (TSDKeyNode*& slot : keySlots_) {
    if (slot == nullptr) continue;
    try {
      slot->Release();
    } catch (...) {
      // A key that cannot be given back is the key set's to destroy when it closes.
    }
    slot = nullptr;
  }
}

void TISDSecureChannelProtocol::BuildInitializeUpdate(uint8_t keyVersion, const uint8_t* challenge,
                                                      TSDAPDU& apdu) {
  if (challenge != nullptr) {
    std::memcpy(hostChallenge_, challenge, sizeof hostChallenge_);
  } else {
    if (keySet_ == nullptr) QORX_RAISE(sd::kInvalidArgument, unit::kHostAppletService);
    keySet_->GenerateRandom(hostChallenge_, kChallengeLength);
  }
  apdu.SetCommand(0x80, 0x50, keyVersion, 0x00, kChallengeLength, hostChallenge_, 256);
}

}  // namespace qorx
