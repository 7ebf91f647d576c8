#pragma once

#include <cstdint>

#include "applet/TerminalAppletService.h"
#include "core/Objects.h"
#include "crypto/KeySet.h"
#include "transport/APDU.h"

namespace qorx {

// The card-side parameters of a secure channel between the bank's host and the card: the
// application to address, two protocol parameters and the host challenge. It builds the
// INITIALIZE UPDATE that opens the channel; keys, cryptograms and the protection of script
// commands are the host's business, so the channel key slots, flag, reset field and chaining
// value are only held and cleared, for a later channel implementation.
class TISDSecureChannelProtocol : public TSDObject {
 public:
  static constexpr int kChallengeLength = 8;
  static constexpr int kKeySlots = 5;

  // `keySet` (may be null, not owned) is where random host challenges come from.
  TISDSecureChannelProtocol(const ApplicationId& application, TSDSVCKeySet* keySet);
  ~TISDSecureChannelProtocol() override;
  TISDSecureChannelProtocol(const TISDSecureChannelProtocol&) = delete;
  TISDSecureChannelProtocol& operator=(const TISDSecureChannelProtocol&) = delete;

  // Back to the constructed state, except for the application, the parameters and the host
  // challenge; held channel keys are released.
  void Reset() noexcept;

  // Keeps the 8-byte `challenge` (or, when it is null, 8 random bytes of the key set) as the
  // host challenge and builds 80 50 keyVersion 00 08 <challenge> 00 into `apdu`. Without a
  // challenge and without a key set it raises 0xC100.
  void BuildInitializeUpdate(uint8_t keyVersion, const uint8_t* challenge, TSDAPDU& apdu);

  const uint8_t* HostChallenge() const noexcept { return hostChallenge_; }
  const ApplicationId& Application() const noexcept { return application_; }
  uint8_t Parameter1() const noexcept { return parameter1_; }
  uint8_t Parameter2() const noexcept { return parameter2_; }

 private:
  uint8_t hostChallenge_[kChallengeLength] = {};
  TSDKeyNode* keySlots_[kKeySlots] = {};
  ApplicationId application_;
  uint8_t channelFlag_ = 0;
  uint8_t parameter1_ = 1;
  uint8_t parameter2_ = 0x15;
  uint8_t resetField_ = 0;
  uint8_t chainingValue_[8] = {};
  TSDSVCKeySet* keySet_;
};

}  // namespace qorx
