// Transaction signing, password encryption and the secure channel commands.
#include "applet/QorTerminalAppletService.h"
#include "applet/SecureChannelProtocol.h"
#include "applet/X509Certificate.h"
#include "core/Exceptions.h"
#include "core/Wipe.h"
#include "crypto/KeyVault.h"
#include "crypto/SHA1Digest.h"
#include "transport/APDU.h"
#include "transport/TLV.h"

namespace qorx {

namespace {

constexpr const char* kUnit = unit::kTerminalAppletServices;
constexpr int kRandomFiller = 8;
constexpr int kHostChallengeLength = TISDSecureChannelProtocol::kChallengeLength;

void AppendElement(TSDByteArray& content, int tag, const TSDByteArray& value) {
  content.Append(TSDTLV(tag, value).Encoding());
}

}  // namespace

TSDByteArray TQorTerminalAppletService::SignTransaction(const TSDByteArray& data) {
  uint8_t digest[TSDSHA1Digest::kDigestLength];
  TSDSHA1Digest sha;
  sha.Update(data);
  sha.Final(digest);
  return SignDigest(digest);
}

TSDByteArray TQorTerminalAppletService::SignDigest(const uint8_t digest[20]) {
  return RunCardDialogue(StateSecretCodeVerified, [&] {
    TSDByteArray signature;
    const uint16_t sw = SendCommand(0x00, 0x88, 0x00, 0x00, Sha1DigestInfo(digest), 256, signature);
    if (sw != 0x9000)
      QORX_RAISEF(sd::kExternal, kUnit, "APDU INTERNALAUTHENTICATE returned %04X", sw);
    return signature;
  });
}

TSDByteArray TQorTerminalAppletService::EncryptPassword(const TSDByteArray& password, uint16_t tag,
                                                        bool keyVersionFlag) {
  uint8_t id[kKeyIdentifierLength];
  IssuerKeyIdentifier(keyVersionFlag ? 3 : 1, id);
  TSDKeyNodeRef key(KeySet().FindKey(id));
  if (!key) QORX_RAISEF(sd::kKeySetNotUsable, kUnit, "issuer key not found");
  TSDByteArray random(kRandomFiller);
  KeySet().GenerateRandom(random.WritableData(), kRandomFiller);
  TSDByteArray cryptogram;
  key->EncodeAndApply(cryptogram, keytype::kRsaPublic, random, password);
  TSDByteArray content;
  AppendElement(content, tag, cryptogram);
  AppendElement(content, 0x88, TSDByteArray(id, kKeyIdentifierLength));
  return TSDTLV(0x30, content).Encoding();
}

TSDByteArray TQorTerminalAppletService::SecureChannelInit(const TSDByteArray* hostChallenge,
                                                          uint8_t keyVersion) {
  // Refused before the card is touched: the command carries exactly 8 challenge bytes.
  if (hostChallenge == nullptr || hostChallenge->Length() < kHostChallengeLength)
    throw EAPSException(aps::kCannotServe);
  RequireState(StateCardReady);
  try {
    const TSDByteArray challenge = hostChallenge->Mid(0, kHostChallengeLength);
    TSDByteArray content;
    AppendElement(content, 0x4F, TSDByteArray(Application().aid, Application().length));
    AppendElement(content, 0x80, challenge);
    TISDSecureChannelProtocol protocol(Application(), nullptr);
    TSDAPDU command;
    protocol.BuildInitializeUpdate(0, challenge.Data(), command);
    TSDByteArray answer;
    const uint16_t sw = Exchange(command, answer);
    if (sw != 0x9000) QORX_RAISEF(sd::kExternal, kUnit, "APDU INIT_UPDATE returned %04X", sw);
    AppendElement(content, 0x81, answer);
    AppendElement(content, 0x82, TSDByteArray(&keyVersion, 1));
    // No end of the dialogue: the host's script runs in this transaction and selection.
    return TSDTLV(0x30, content).Encoding();
  } catch (...) {
    AbandonCardDialogue();
    throw;
  }
}

uint16_t TQorTerminalAppletService::SecureChannelExecScript(const TSDByteArray& script) {
  if (Slot() == nullptr) throw EAPSException(aps::kNoReaderOpen);
  if (!IsCardPresent()) throw EAPSException(aps::kNoCard);
  const TSDTLV templ(script);
  if (templ.Tag() != 0x71) throw EAPSException(aps::kCannotServe);
  const int children = templ.ChildCount();
  // A script that is cut or garbled somewhere is refused before any of it reaches the card.
  if (children < 0) QORX_RAISE(sd::kMalformed, unit::kTLV);
  if (children == 0) throw EAPSException(aps::kCannotServe);
  int sent = 0;
  for (int i = 0; i < children; ++i) {
    const TSDTLV child = templ.ChildAt(i);
    if (child.Tag() == 0x9F18) continue;
    if (child.Tag() != 0x86) throw EAPSException(aps::kCannotServe);
    TSDAPDU command;
    command.ParseCommand(child.Value(), true);
    Slot()->Transmit(command);
    ++sent;
    const uint16_t sw = command.StatusWord();
    if (sw != 0x9000) return sw;
  }
  if (sent == 0) throw EAPSException(aps::kCannotServe);
  return 0x9000;
}

}  // namespace qorx
