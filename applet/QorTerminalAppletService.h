#pragma once

#include <cstdint>
#include <memory>
#include <type_traits>

#include "applet/TerminalAppletService.h"
#include "core/ByteArray.h"
#include "crypto/KeySet.h"

namespace qorx {

// Private to the library (crypto/KeyVault.h); the installed headers only name it.
class TSDSVCKeySetKeyVault;

// A day as card authentication compares them: constructed as 1/1/1, ordered year first.
struct CalendarDate {
  int32_t day = 1;
  int32_t month = 1;
  int32_t year = 1;
};
inline bool operator<(const CalendarDate& a, const CalendarDate& b) noexcept {
  if (a.year != b.year) return a.year < b.year;
  if (a.month != b.month) return a.month < b.month;
  return a.day < b.day;
}

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
  // ---- Card certificate and card authentication ----------------------------------------
  // The card's certificate file from offset 2 on: one DER element, read in chunks of 256
  // bytes as its header announces (empty when the first chunk starts with no TLV header).
  // A read answered other than 9000 raises 0x0D00. Runs inside a card dialogue.
  TSDByteArray ReadCertificate();
  // The certificate as cached for this insertion; read from the card (state 1026) when the
  // cache is empty.
  TSDByteArray GetCertificate();
  // Validates the card certificate against the embedded CAs, then the date text
  // ("YYYY/MM/DD") against its validity (valid from its first day up to the day before its
  // last); on success the state is 1025, the card's public key is kept for the secret-code
  // operations, and the serial number comes back: PAN (bytes 0-7) and PAN sequence (byte
  // 8), always at least 9 bytes. Failures: 0x0110 invalid certificate (also a serial
  // number too short to carry PAN and sequence), 0x0502 / 0x0503 date after / before the
  // validity, 0x0C00 malformed date, 0x0D00 certificate unreadable; after the state check,
  // every failure leaves state 1026 with no card key.
  TSDByteArray CardAuthenticate(const char* systemDate);
  // "%d/%d/%d" as year, month, day; 0x0C00 for a null or malformed text, a day outside 1-31,
  // a month outside 1-12 or a year below 1.
  static void ParseSystemDate(const char* text, CalendarDate& out);
  // A certificate time's content text: UTCTime YYMMDD... (year 2000 + YY) for tag 0x17,
  // GeneralizedTime YYYYMMDD... for tag 0x18. 0x0C00 when a piece is not digits.
  static void ParseCertificateDate(const TSDByteArray& text, int tag, CalendarDate& out);

  // ---- Secret code ----------------------------------------------------------------------
  // Verifies the secret code on the card (state 1025; 1024 afterwards). A null code or one
  // of more than 15 characters raises 0x0702 before any card access; the card's 63Cx
  // raises 0x0702, 6983 raises 0x0703.
  void CardVerifySecretCode(const char* code);
  // Verifies `current`, then sets `newCode` on the card (state 1025). Null codes, and a new
  // code of more than 15 characters (it could never be verified), raise 0x0702 before any
  // card access.
  void ChangeSecretCode(const char* current, const char* newCode);
  // GET DATA 9F17 (state 1026); 0xC500 unless its value is one byte.
  uint8_t GetPinTryCounter();
  // GET CHALLENGE: the card's 8 challenge bytes.
  TSDByteArray GetChallenge();
  // GET DATA for `tag`: the value of the element the card answers.
  TSDByteArray GetData(uint16_t tag);

  // ---- Signing, password encryption, secure channel -------------------------------------
  // Has the card sign SHA-1(`data`) (state 1024; the cached code is verified first).
  TSDByteArray SignTransaction(const TSDByteArray& data);
  // The same for a SHA-1 digest computed elsewhere (a file hashed as a stream).
  TSDByteArray SignDigest(const uint8_t digest[20]);
  // RSA-enciphers `password` (at most 117 bytes) under issuer key 3 (`keyVersionFlag`) or 1:
  // 30 { <tag> cryptogram, 88 key identifier }. No card needed.
  TSDByteArray EncryptPassword(const TSDByteArray& password, uint16_t tag, bool keyVersionFlag);
  // INITIALIZE UPDATE with the first 8 bytes of `hostChallenge` (state 1026): 30 { 4F AID,
  // 80 host challenge, 81 card answer, 82 keyVersion }. The card dialogue stays open so the
  // host's script runs in it. A null or shorter challenge raises 0x0101 before any card
  // access.
  TSDByteArray SecureChannelInit(const TSDByteArray* hostChallenge, uint8_t keyVersion);
  // Runs the host's script 71 { 86 command ..., 9F18 id } in the current dialogue, stopping
  // at the first command not answered 9000: that status word, or 9000 when all passed.
  // 0x0A02 without reader, 0x0A03 without card, 0x0101 for a script of another shape.
  uint16_t SecureChannelExecScript(const TSDByteArray& script);

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
  // After a failure: follows the card (a removal meanwhile resets the state); its own failure
  // is dropped, the one being handled is the one to report.
  void FollowCardAfterFailure() noexcept;

  // Verifies the cached secret code on the card (GET CHALLENGE, VERIFY); on failure the
  // state falls back to 1025. Called by RequireState(1024).
  virtual void VerifyCachedSecretCode();
  // The cache of the secret code, enciphered under the cache key.
  void StoreSecretCode(const char* code);
  TSDByteArray RetrieveSecretCode() const;
  // The PKCS #1 type-2 block of `code` under the card's public key, its padding starting
  // with `challenge`.
  TSDByteArray EncipherForCard(const TSDByteArray& code, const TSDByteArray& challenge);

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
  // The card's public key in the vault, made once: building it afresh for every VERIFY cost
  // more than the library's other work on the operation. Destroyed before the key set goes.
  std::unique_ptr<TSDScratchKey> cardKey_;
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
