// Secret code verification, change and try counter.
#include <cstring>
#include <memory>

#include "applet/QorTerminalAppletService.h"
#include "core/Exceptions.h"
#include "core/Wipe.h"
#include "crypto/KeyVault.h"
#include "transport/TLV.h"

namespace qorx {

namespace {

constexpr const char* kUnit = unit::kTerminalAppletServices;
constexpr size_t kMaxCodeLength = 15;
constexpr int32_t kCachePlaintext = 16;
constexpr int kChallengeLength = 8;
constexpr uint16_t kCardKeyLength = 128;
constexpr uint16_t kPinTryCounterTag = 0x9F17;

bool AcceptableCode(const char* code) {
  return code != nullptr && std::strlen(code) <= kMaxCodeLength;
}

}  // namespace

void TQorTerminalAppletService::StoreSecretCode(const char* code) {
  const int32_t length = static_cast<int32_t>(std::strlen(code));
  TSDByteArray plain(length > kCachePlaintext ? length : kCachePlaintext);
  plain.Write(0, code, length);
  CacheKey()->EncryptECB(plain.WritableData(), plain.Length());
  cachedSecretCode_ = plain;
}

TSDByteArray TQorTerminalAppletService::RetrieveSecretCode() const {
  TSDByteArray plain(cachedSecretCode_.Data(), cachedSecretCode_.Length());
  CacheKey()->DecryptECB(plain.WritableData(), plain.Length());
  int32_t n = plain.Length();
  while (n > 0 && plain.ByteAt(n - 1) == 0) --n;
  plain.SetLength(n);  // the dropped zeros held nothing secret; the block wipes on release
  return plain;
}

TSDByteArray TQorTerminalAppletService::GetChallenge() {
  TSDByteArray challenge;
  const uint16_t sw = SendCommand(0x00, 0x84, 0x00, 0x00, TSDByteArray(), 256, challenge);
  if (sw != 0x9000) QORX_RAISEF(sd::kExternal, kUnit, "APDU GET_CHALLENGE returned %04X", sw);
  if (challenge.Length() != kChallengeLength)
    QORX_RAISEF(sd::kMalformed, kUnit, "the card challenge has %d bytes instead of 8",
                challenge.Length());
  return challenge;
}

TSDByteArray TQorTerminalAppletService::EncipherForCard(const TSDByteArray& code,
                                                        const TSDByteArray& challenge) {
  // One scratch key for every card, its material replaced at each use: the vault then keeps
  // libcrypto's form of the key for as long as the card's key is the same.
  if (!cardKey_)
    cardKey_ = std::make_unique<TSDScratchKey>(KeySet(), keytype::kRsaPublic, kCardKeyLength);
  (*cardKey_)->Import(0, kKeyFormatComponents, cardPublicKey_.Data(), cardPublicKey_.Length());
  TSDByteArray block;
  (*cardKey_)->EncodeAndApply(block, keytype::kRsaPublic, challenge, code);
  return block;
}

void TQorTerminalAppletService::VerifyCachedSecretCode() {
  try {
    const TSDByteArray challenge = GetChallenge();
    const TSDByteArray block = EncipherForCard(RetrieveSecretCode(), challenge);
    TSDByteArray none;
    const uint16_t sw = SendCommand(0x00, 0x20, 0x00, 0x08, block, 0, none);
    if (sw == 0x6983) throw EAPSException(aps::kSecretCodeBlocked);
    // The tries left (low nibble) are the card's to report through GET DATA.
    if ((sw & 0xFFF0) == 0x63C0) throw EAPSException(aps::kSecretCodeRejected);
    if (sw != 0x9000) QORX_RAISEF(sd::kExternal, kUnit, "APDU VERIFY returned %04X", sw);
  } catch (...) {
    SetApplicationState(StateCardAuthenticated);
    throw;
  }
}

void TQorTerminalAppletService::CardVerifySecretCode(const char* code) {
  if (!AcceptableCode(code)) throw EAPSException(aps::kSecretCodeRejected);
  RequireState(StateCardAuthenticated);
  try {
    StoreSecretCode(code);
    VerifyCachedSecretCode();
    SetApplicationState(StateSecretCodeVerified);
    EndCardDialogue();
  } catch (...) {
    AbandonCardDialogue();
    if (ApplicationState() == StateSecretCodeVerified) SetApplicationState(StateCardAuthenticated);
    FollowCardAfterFailure();
    throw;
  }
}

void TQorTerminalAppletService::ChangeSecretCode(const char* current, const char* newCode) {
  // A longer new code could never be verified again: the card would be lost to its holder.
  if (current == nullptr || !AcceptableCode(newCode)) throw EAPSException(aps::kSecretCodeRejected);
  RequireState(StateCardAuthenticated);
  try {
    StoreSecretCode(current);
    VerifyCachedSecretCode();
    StoreSecretCode(newCode);
    const TSDByteArray challenge = GetChallenge();
    const TSDByteArray block = EncipherForCard(RetrieveSecretCode(), challenge);
    TSDByteArray none;
    const uint16_t sw = SendCommand(0x80, 0x24, 0x02, 0x08, block, 0, none);
    if (sw != 0x9000) QORX_RAISEF(sd::kExternal, kUnit, "APDU CHANGE_PIN returned %04X", sw);
    EndCardDialogue();
  } catch (...) {
    CardLogout();
    AbandonCardDialogue();
    throw;
  }
}

TSDByteArray TQorTerminalAppletService::GetData(uint16_t tag) {
  TSDByteArray data;
  const uint16_t sw = SendCommand(0x80, 0xCA, tag >> 8, tag & 0xFF, TSDByteArray(), 256, data);
  if (sw != 0x9000) QORX_RAISEF(sd::kExternal, kUnit, "APDU GET_DATA returned %04X", sw);
  return TSDTLV(data).Value();
}

uint8_t TQorTerminalAppletService::GetPinTryCounter() {
  return RunCardDialogue(StateCardReady, [&] {
    const TSDByteArray value = GetData(kPinTryCounterTag);
    if (value.Length() != 1) QORX_RAISEF(sd::kMalformed, kUnit, "PTC doesn\u00B4t have 1 byte");
    return value.ByteAt(0);
  });
}

}  // namespace qorx
