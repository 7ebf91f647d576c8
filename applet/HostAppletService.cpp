#include "applet/HostAppletService.h"

#include <cstring>

#include "applet/CaCertificates.h"
#include "core/Exceptions.h"

namespace qorx {

namespace {

constexpr const char* kUnit = unit::kHostAppletService;
constexpr int kKeyIdentifierBytes = 20;
// 2.5.29.35, authority key identifier
const uint8_t kAuthorityKeyIdentifier[] = {0x55, 0x1D, 0x23};

ApplicationId SecureChannelApplication() {
  ApplicationId id;
  std::memset(&id, 0, sizeof id);
  id.length = sizeof TQorHostAppletServiceV2::kSecureChannelAid;
  std::memcpy(id.aid, TQorHostAppletServiceV2::kSecureChannelAid, id.length);
  return id;
}

[[noreturn]] void NotValid() {
  QORX_RAISEF(sd::kMalformed, kUnit, "certificate is not valid ");
}

}  // namespace

TSDBaseHostAppletService::TSDBaseHostAppletService(const ApplicationId& application,
                                                   TSDSVCKeySet* keySet)
    : TSDBaseService(kServiceName), application_(application), keySet_(keySet) {}

TQorHostAppletServiceV2::TQorHostAppletServiceV2(const ApplicationId& application,
                                                 TSDSVCKeySet* keySet)
    : TSDBaseHostAppletService(application, keySet),
      protocol_(new TISDSecureChannelProtocol(SecureChannelApplication(), keySet)) {}

TQorHostAppletServiceV2::~TQorHostAppletServiceV2() {
  DiscardCertifiedKey();
}

void TQorHostAppletServiceV2::DiscardCertifiedKey() noexcept {
  certifiedKey_.reset();
}

int TQorHostAppletServiceV2::ChooseAuthority(const TSDByteArray& aki, int productionOnly) noexcept {
  if (aki.Length() < kKeyIdentifierBytes) return 0;
  const uint8_t* last = aki.DataAt(aki.Length() - kKeyIdentifierBytes);
  for (int i = 0; i < kCaCertificateCount; ++i) {
    const CaCertificate& ca = kCaCertificates[i];
    if (std::memcmp(last, ca.keyIdentifier, kKeyIdentifierBytes) != 0) continue;
    return productionOnly == 0 || ca.production == 1 ? i : 0;
  }
  return 0;
}

void TQorHostAppletServiceV2::ValidateCertificate(const TSDByteArray& certificate,
                                                  int productionOnly, TSDByteArray& output) {
  if (keySet_ == nullptr) QORX_RAISEF(sd::kKeySetNotUsable, kUnit, "keyset not open");
  DiscardCertifiedKey();
  X509Certificate card;
  card.Parse(certificate);
  int critical = 0;
  TSDByteArray aki;
  card.FindExtension(TSDByteArray(kAuthorityKeyIdentifier, sizeof kAuthorityKeyIdentifier),
                     critical, aki);
  const CaCertificate& entry = kCaCertificates[ChooseAuthority(aki, productionOnly)];
  X509Certificate ca;
  ca.Parse(TSDByteArray(entry.certificate, static_cast<int32_t>(entry.length)));
  if (!card.VerifySignature(*keySet_, ca)) NotValid();

  // A key the vault cannot hold (longer than 256 bytes) is as unusable as a bad signature.
  std::unique_ptr<TSDScratchKey> key;
  try {
    key.reset(new TSDScratchKey(*keySet_, keytype::kRsaPublic,
                                static_cast<uint16_t>(card.PublicKeyLength())));
    card.ExportPublicKey(*key->Get());
  } catch (const ESDException& e) {
    if (e.Code() == sd::kNoMemory) throw;
    NotValid();
  }
  int size = 0;
  (*key)->ExportPublic(kKeyFormatComponents, nullptr, &size);
  TSDByteArray exported(size);
  (*key)->ExportPublic(kKeyFormatComponents, exported.WritableData(), &size);
  output = exported;
  certifiedKey_ = std::move(key);
}

}  // namespace qorx
