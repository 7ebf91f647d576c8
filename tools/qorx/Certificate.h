#pragma once

#include <string>

#include "core/ByteArray.h"

namespace qorx::cli {

// What support staff read off a card certificate. Everything comes from the card, so it is
// taken apart by the strict certificate parser first and rendered through the bounded reader.
struct CertificateSummary {
  std::string subject;  // "O=QorX Test Bank, CN=..." in the certificate's order
  std::string issuer;
  std::string notBefore;  // "2020-01-01 00:00:00 UTC"
  std::string notAfter;
  std::string serial;       // hexadecimal
  std::string pan;          // serial bytes 0-7, hexadecimal; empty when too short
  std::string panSequence;  // serial byte 8
};

// Raises ESDException 0xC500 for a certificate the parser refuses.
CertificateSummary Summarise(const TSDByteArray& der);

// A DER Name as "TYPE=value, ..."; a part that does not read is shown as "?".
std::string RenderName(const TSDByteArray& name);

// The certificate in PEM ("-----BEGIN CERTIFICATE-----", base64 in lines of 64).
std::string ToPem(const TSDByteArray& der);

}  // namespace qorx::cli
