#pragma once

#include <cstdint>
#include <memory>

#include "applet/SecureChannelProtocol.h"
#include "applet/TerminalAppletService.h"
#include "applet/X509Certificate.h"
#include "core/Objects.h"
#include "crypto/KeySet.h"
#include "transport/BaseServices.h"

namespace qorx {

// The host-side counterpart of the card application.
class TSDBaseHostAppletService : public TSDBaseService {
 public:
  static constexpr const char* kServiceName = "HostAppletService";
  // `keySet` is the terminal service's key vault (not owned).
  TSDBaseHostAppletService(const ApplicationId& application, TSDSVCKeySet* keySet);

 protected:
  ApplicationId application_;
  TSDSVCKeySet* keySet_;
};

// Validates card certificates against the embedded certification authorities and hands the
// certified card key back in key-vault form. Lives for one authentication.
class TQorHostAppletServiceV2 : public TSDBaseHostAppletService {
 public:
  // The application the secure-channel protocol object addresses on the host's behalf.
  static constexpr uint8_t kSecureChannelAid[7] = {0xA0, 0x00, 0x00, 0x01, 0x51, 0x00, 0x00};

  TQorHostAppletServiceV2(const ApplicationId& application, TSDSVCKeySet* keySet);
  // Destroys the certified key: its public half went out through ValidateCertificate, and a
  // page that authenticates again and again must not fill the key vault.
  ~TQorHostAppletServiceV2() override;
  TQorHostAppletServiceV2(const TQorHostAppletServiceV2&) = delete;
  TQorHostAppletServiceV2& operator=(const TQorHostAppletServiceV2&) = delete;

  // Verifies `certificate`'s signature with the CA its authority key identifier names (CA
  // entry 0 when none matches; with `productionOnly` a matching test CA also falls back to
  // entry 0) and writes the certified RSA public key, {A1 modulus, A0 exponent}, into
  // `output`. A certificate that is malformed or whose signature does not verify raises
  // ESDException 0xC500 "certificate is not valid ".
  void ValidateCertificate(const TSDByteArray& certificate, int productionOnly,
                           TSDByteArray& output);

  // The CA entry (0 to 4) a certificate with authority key identifier value `aki` is checked
  // against.
  static int ChooseAuthority(const TSDByteArray& aki, int productionOnly) noexcept;

  TISDSecureChannelProtocol& Protocol() const noexcept { return *protocol_; }

 private:
  void DiscardCertifiedKey() noexcept;

  std::unique_ptr<TSDScratchKey> certifiedKey_;
  std::unique_ptr<TISDSecureChannelProtocol> protocol_;
  TSDObjectArray objects_;
};

}  // namespace qorx
