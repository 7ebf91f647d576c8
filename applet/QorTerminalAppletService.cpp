#include "applet/QorTerminalAppletService.h"

#include <cstring>

#include "applet/ApplicationIdentifier.h"
#include "applet/IssuerKeys.h"
#include "core/Exceptions.h"
#include "crypto/KeyVault.h"
#include "transport/TLV.h"
#include "transport/pcsc/SmartCardSlotPCSC.h"

namespace qorx {

namespace {

constexpr const char* kUnit = unit::kTerminalAppletServices;
constexpr int kVersionTag = 0x9F08;
constexpr int kCacheKeyLength = 16;
constexpr uint16_t kIssuerKeyLength = 128;

}  // namespace

void TQorTerminalAppletService::IssuerKeyIdentifier(uint8_t version,
                                                    uint8_t out[kKeyIdentifierLength]) noexcept {
  std::memset(out, 0, kKeyIdentifierLength);
  std::memcpy(out, kApplicationAid, kApplicationProviderLength);
  out[5] = 0xFF;
  out[6] = 0x22;
  out[7] = 0x00;
  out[8] = 0x01;
  out[13] = 0x57;
  out[14] = version;
  out[15] = 0x01;
}

TQorTerminalAppletService::TQorTerminalAppletService()
    : TQorTerminalAppletService(TSDSmartCardSlotPCSCFactory::Instance()) {}

TQorTerminalAppletService::TQorTerminalAppletService(TSDBaseServiceFactory* slotFactory)
    : TSDBaseTerminalAppletService(slotFactory) {
  ResetCardState();
  std::memset(&application_, 0, sizeof application_);
  application_.length = sizeof kApplicationAid;
  std::memcpy(application_.aid, kApplicationAid, sizeof kApplicationAid);
  LoadKeys();
}

void TQorTerminalAppletService::LoadKeys() {
  std::unique_ptr<TSDBaseService> service(TSDKeySetKeyVaultFactory::Instance().CreateService(""));
  keySet_.reset(dynamic_cast<TSDSVCKeySetKeyVault*>(service.get()));
  if (!keySet_) QORX_RAISEF(sd::kKeySetNotUsable, kUnit, "keyset not open");
  service.release();

  cacheKey_ = TSDKeyNodeRef(keySet_->CreateKey(kCacheKeyId, keytype::kSecret, kCacheKeyLength, 0));
  cacheKey_->GenerateSecret();

  for (const IssuerKey& issuer : kIssuerKeys) {
    uint8_t id[kKeyIdentifierLength];
    IssuerKeyIdentifier(issuer.version, id);
    TSDKeyNodeRef key(keySet_->FindKey(id));
    if (key) continue;
    key = TSDKeyNodeRef(keySet_->CreateKey(id, keytype::kRsaPublic, kIssuerKeyLength, 0));
    key->Import(0, kKeyFormatComponents, issuer.blob, issuer.length);
  }
}

TQorTerminalAppletService::~TQorTerminalAppletService() {
  try {
    ResetCardState();
    if (Slot() != nullptr) Close();
  } catch (...) {
    // The base destructor gives the slot back in any case; the byte arrays wipe themselves.
  }
  // The vault destroys its keys when it goes (after this body); our reference on the cache
  // key is given back first.
  cardKey_.reset();
  cacheKey_.Reset();
}

void TQorTerminalAppletService::ResetCardState() {
  versionRelease_ = 0;
  applicationState_ = StateNoCard;
  // A transaction still held (a secure channel left open, a reader closing) is ended, not
  // just forgotten: pcsc-lite would keep other clients off the card while the handle lives.
  EndTransaction();
  certificate_.SetLength(0);
  cardPublicKey_.SetLength(0);
  cachedSecretCode_.SetLength(0);
}

int32_t TQorTerminalAppletService::GetCardStatus() {
  PollCard();
  return applicationState_;
}

void TQorTerminalAppletService::BeginTransaction() {
  // pcsc-lite counts the begins of one handle and frees the card after as many ends: the
  // transaction a secure-channel start left open is the one the next operation ends.
  if (inTransaction_) return;
  // The result is not examined: a card without transaction support still gets its commands.
  Slot()->CardAction(TSDSVCSmartCardSlot::ActionBeginTransaction);
  inTransaction_ = true;
}

void TQorTerminalAppletService::EndTransaction() noexcept {
  if (!inTransaction_) return;
  inTransaction_ = false;
  if (Slot() == nullptr) return;
  try {
    Slot()->CardAction(TSDSVCSmartCardSlot::ActionEndTransaction);
  } catch (...) {
    // Nothing more can be done for a slot that cannot even say it is open.
  }
}

void TQorTerminalAppletService::RequireState(int32_t required) {
  const int32_t current = GetCardStatus();
  if (required < current) {
    switch (current) {
      case StateCardAuthenticated:
        throw EAPSException(aps::kStateCardAuthenticated);
      case StateCardReady:
        throw EAPSException(aps::kStateCardReady);
      case StateCardMute:
      case StateNoCard:
        throw EAPSException(aps::kNoCard);
      default:
        throw EAPSException(aps::kStateOther);
    }
  }
  if (required > StateCardReady) return;

  BeginTransaction();
  try {
    TSDTLV fci;
    SelectApplication(fci, application_, 1);
    if (required == StateSecretCodeVerified) VerifyCachedSecretCode();
  } catch (...) {
    // No later EndCardDialogue follows a failed entry: other PC/SC clients would otherwise
    // stay locked out of the card until the next operation.
    EndTransaction();
    throw;
  }
}

void TQorTerminalAppletService::EndCardDialogue() {
  if (applicationState_ > StateCardReady) return;
  try {
    TSDTLV fci;
    SelectApplication(fci, application_, 1);
  } catch (...) {
    EndTransaction();
    throw;
  }
  EndTransaction();
}

void TQorTerminalAppletService::AbandonCardDialogue() noexcept {
  try {
    EndCardDialogue();
  } catch (...) {
    // The failure being handled is the one to report; the transaction is ended regardless.
  }
}

void TQorTerminalAppletService::FollowCardAfterFailure() noexcept {
  try {
    GetCardStatus();
  } catch (...) {
  }
}

void TQorTerminalAppletService::IdentifyApplication() {
  bool ending = false;
  try {
    applicationState_ = StateCardReady;
    RequireState(StateCardReady);
    TSDTLV fci;
    SelectApplication(fci, application_, 1);
    TSDTLVStore store;
    store.ParseAll(fci.Encoding(), true, 0);
    versionRelease_ = 0;
    const TSDTLV version = store.Get(kVersionTag, -1);
    if (version.EncodingLength() > 0) {
      const TSDByteArray value = version.Value();
      // Two bytes, high byte first. A shorter value carries no version we could read
      // without guessing: it stays 0 ("not read").
      if (value.Length() >= 2)
        versionRelease_ = static_cast<uint16_t>(value.ByteAt(0) << 8 | value.ByteAt(1));
    }
    ending = true;
    EndCardDialogue();
  } catch (...) {
    // A card that answered but could not be identified stays ready; one that left (or
    // whose connection broke) meanwhile is no card: the removal is not seen again later.
    const TSDSVCSmartCardSlot* slot = Slot();
    const bool connected =
        slot != nullptr && (slot->Flags() & TSDSVCSmartCardSlot::CardConnected) != 0;
    applicationState_ = connected ? StateCardReady : StateNoCard;
    if (!ending) AbandonCardDialogue();
    throw;
  }
}

void TQorTerminalAppletService::CardLogout() {
  if (applicationState_ != StateSecretCodeVerified) return;
  applicationState_ = StateCardAuthenticated;
  cachedSecretCode_.SetLength(0);
}

uint8_t TQorTerminalAppletService::GetApplicationStatus() {
  return RunCardDialogue(StateCardReady, [&] {
    TSDByteArray data;
    const uint16_t sw = SendCommand(0x80, 0xF2, 0x40, 0x00,
                                    TSDByteArray(application_.aid, application_.length), 256, data);
    if (sw != 0x9000) QORX_RAISEF(sd::kExternal, kUnit, "APDU GET_FCI returned %04X", sw);
    if (data.IsEmpty()) QORX_RAISEF(sd::kMalformed, kUnit, "APDU GET_FCI returned no data");
    return data.ByteAt(data.Length() - 1);
  });
}

void TQorTerminalAppletService::ReaderOpened() {
  versionRelease_ = 0;
}

void TQorTerminalAppletService::ReaderClosing() {
  ResetCardState();
}

void TQorTerminalAppletService::CardInserted(int mute) {
  if (mute != 0) {
    applicationState_ = StateCardMute;
    return;
  }
  IdentifyApplication();
}

void TQorTerminalAppletService::CardRemoved() {
  ResetCardState();
}

}  // namespace qorx
