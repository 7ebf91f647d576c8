// A card certificate as a hostile card might hand it over: parsed, its fields read, its
// to-be-signed part rebuilt, and validated against the embedded CAs.
#include <cstddef>
#include <cstdint>

#include "applet/HostAppletService.h"
#include "applet/QorTerminalAppletService.h"
#include "applet/X509Certificate.h"
#include "core/ByteArray.h"
#include "crypto/KeyVault.h"
#include "fuzz/FuzzCheck.h"

using namespace qorx;

namespace {

const ApplicationId kBank = {7, {0xA0, 0x00, 0x00, 0x09, 0x51, 0x10, 0x01}};

void CheckDate(const TSDByteArray& text, int tag) {
  CalendarDate date;
  try {
    TQorTerminalAppletService::ParseCertificateDate(text, tag, date);
  } catch (const EAPSException& e) {
    FUZZ_CHECK(e.Code() == aps::kMalformedDate);
  }
}

void CheckFields(const X509Certificate& c) {
  // DER as received is DER as rebuilt, unless unique identifiers (not kept) were present.
  if (!c.HasUniqueIdentifiers()) {
    FUZZ_CHECK(c.RebuildToBeSigned().Encoding() == c.ReceivedToBeSigned());
  }
  TSDByteArray notBefore, notAfter, serial, oid, value;
  int beforeTag = 0, afterTag = 0, critical = 0;
  c.GetValidity(notBefore, notAfter, &beforeTag, &afterTag);
  CheckDate(notBefore, beforeTag);
  CheckDate(notAfter, afterTag);
  c.GetSerialNumber(serial);
  FUZZ_CHECK(serial.Length() > 0);
  int count = 0;
  while (count < 64 && c.GetExtension(count, oid, critical, value)) ++count;
  TSDByteArray found;
  c.FindExtension(TSDByteArray("\x55\x1D\x23", 3), critical, found);
  FUZZ_CHECK(c.PublicKeyLength() >= 1 && c.PublicKeyLength() <= 256);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0x10000) return 0;
  static TSDSVCKeySetKeyVault* vault = new TSDSVCKeySetKeyVault("fuzz");
  const TSDByteArray der(data, static_cast<int32_t>(size));
  X509Certificate certificate;
  if (fuzz::Expect([&] { certificate.Parse(der); }, {sd::kMalformed})) CheckFields(certificate);

  {
    TQorHostAppletServiceV2 host(kBank, vault);
    TSDByteArray key;
    if (fuzz::Expect([&] { host.ValidateCertificate(der, static_cast<int>(size & 1), key); },
                     {sd::kMalformed})) {
      FUZZ_CHECK(key.Length() > 4 && key.ByteAt(0) == 0xA1);
    }
  }
  // Nothing an input does may leave keys behind.
  FUZZ_CHECK(vault->NodeCount() == 0);
  return 0;
}
