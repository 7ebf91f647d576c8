#pragma once

#include <cstdint>
#include <memory>
#include <type_traits>

#include "applet/TerminalAppletService.h"
#include "core/ByteArray.h"
#include "crypto/KeySet.h"
#include "crypto/KeyVault.h"

namespace qorx {

// The bank's card application as both front ends drive it: the application state that orders
// every card operation, the card dialogue bracket (state check, PC/SC transaction, SELECT ...
// SELECT again, end of transaction), the identification of the application when a card is
// connected, and the read-only state queries.
//
// Each service owns a private key vault holding a random triple-DES cache key (it protects
// the cached secret code) and the three issuer public keys.
class TQorTerminalAppletService : public TSDBaseTerminalAppletService {
 public:
  // Application states; the value is what the front ends report as the card status. A lower
  // value is a more advanced state: an operation that needs state R runs in any state <= R.
  static constexpr int32_t StateSecretCodeVerified = 1024;
  static constexpr int32_t StateCardAuthenticated = 1025;
  static constexpr int32_t StateCardReady = 1026;
  static constexpr int32_t StateCardMute = 1027;
  static constexpr int32_t StateNoCard = 1028;

  // Key identifier of the cache key and of issuer key `version` (1 to 3).
  static constexpr uint8_t kCacheKeyId[kKeyIdentifierLength] = {};
  static void IssuerKeyIdentifier(uint8_t version, uint8_t out[kKeyIdentifierLength]) noexcept;

  // Slots come from the process-wide PC/SC factory.
  TQorTerminalAppletService();
  // Slots come from `slotFactory` (not owned; it must outlive the service).
  explicit TQorTerminalAppletService(TSDBaseServiceFactory* slotFactory);
  // Closes the reader if one is open; never raises.
  ~TQorTerminalAppletService() override;

  // Follows the card (PollCard: 0x0A02 when no reader is open) and returns the state.
  int32_t GetCardStatus();
  // Entry of every card operation: follows the card, checks that the state is `required` or
  // more advanced (0x0A03, 0x0A04, 0x0A05 or 0x0A06 otherwise, before anything is sent), and
  // for a card operation (`required` <= 1026) begins the PC/SC transaction and selects the
  // application; for 1024 it also verifies the cached secret code. When it fails after the
  // transaction began, the transaction is ended before the failure leaves.
  void RequireState(int32_t required);
  // Exit of every card operation while a card is usable (state <= 1026): selects the
  // application again, which clears the card's verification status, and ends the PC/SC
  // transaction. The transaction is ended even when that SELECT fails; the SELECT's failure
  // then leaves.
  void EndCardDialogue();
  // Connected card: state 1026, select the application, read the version (tag 9F08) from the
  // FCI. On failure the state stays 1026, the dialogue is ended and the failure goes on.
  void IdentifyApplication();
  // Forgets everything learnt from the card: version 0, state 1028, certificate, card public
  // key and cached secret code emptied.
  void ResetCardState();
  // Leaves the verified state (1024 -> 1025, cached code emptied); nothing else changes.
  void CardLogout();
  // GET_FCI (80 F2 40 00 with the AID): the last byte of the response. A status word other
  // than 9000 raises 0xC000 "APDU GET_FCI returned %04X"; an answer without data raises
  // 0xC500 "APDU GET_FCI returned no data".
  uint8_t GetApplicationStatus();
  // The version read at identification (0 = not read); no card access.
  uint16_t GetVersionRelease() const noexcept { return versionRelease_; }

  int32_t ApplicationState() const noexcept { return applicationState_; }
  const ApplicationId& Application() const noexcept { return application_; }
  TSDSVCKeySetKeyVault& KeySet() const noexcept { return *keySet_; }
  TSDKeyNode* CacheKey() const noexcept { return cacheKey_.Get(); }
  // Whether this service holds the PC/SC transaction now.
  bool InTransaction() const noexcept { return inTransaction_; }

 protected:
  // Runs `body` as one card operation: RequireState(required), the body, EndCardDialogue.
  // When the body fails, the dialogue is ended (a failure of that is dropped) and the body's
  // failure goes on; state repairs belong in the body's own handler.
  template <typename Body>
  auto RunCardDialogue(int32_t required, Body&& body) -> decltype(body());

  // Ends the dialogue after a failure: EndCardDialogue with its own failure dropped.
  void AbandonCardDialogue() noexcept;

  // Verifies the cached secret code on the card (GET CHALLENGE, VERIFY). The secret-code
  // operations provide it; this class only calls it from RequireState(1024).
  virtual void VerifyCachedSecretCode();

  void ReaderOpened() override;
  void ReaderClosing() override;
  void CardInserted(int mute) override;
  void CardRemoved() override;

  void SetApplicationState(int32_t state) noexcept { applicationState_ = state; }

  // Card-derived state kept for the card operations.
  TSDByteArray certificate_;       // as read from the card; empty = not read
  TSDByteArray cardPublicKey_;     // key-vault import form; empty = none
  TSDByteArray cachedSecretCode_;  // enciphered under the cache key; empty = none

 private:
  void BeginTransaction();
  void EndTransaction() noexcept;
  void LoadKeys();

  std::unique_ptr<TSDSVCKeySetKeyVault> keySet_;
  TSDKeyNodeRef cacheKey_;  // released before the key set goes
  ApplicationId application_;
  uint16_t versionRelease_ = 0;
  int32_t applicationState_ = StateNoCard;
  bool inTransaction_ = false;
};

template <typename Body>
auto TQorTerminalAppletService::RunCardDialogue(int32_t required, Body&& body) -> decltype(body()) {
  RequireState(required);
  if constexpr (std::is_void_v<decltype(body())>) {
    try {
      body();
    } catch (...) {
      AbandonCardDialogue();
      throw;
    }
    EndCardDialogue();
  } else {
    auto result = [&] {
      try {
        return body();
      } catch (...) {
        AbandonCardDialogue();
        throw;
      }
    }();
    EndCardDialogue();
    return result;
  }
}

}  // namespace qorx
