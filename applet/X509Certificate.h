#pragma once

#include <cstdint>

#include "core/ByteArray.h"
#include "crypto/KeySet.h"
#include "transport/TLV.h"

namespace qorx {

// A card's (or a CA's) X.509 certificate, taken apart as far as card authentication needs:
// the to-be-signed fields it re-encodes for the signature check, the validity times, the
// serial number (which carries the PAN), the RSA public key and the extensions.
//
// The element itself holds the explicit version [0] (empty for a version 1 certificate).
// Every byte comes from a card: Parse reads through the bounded reader, accepts only the
// certificate's DER shape (definite, minimal lengths) and raises ESDException 0xC500 (unit
// HostAppletService) for anything else, so no later accessor can meet a malformed field.
class X509Certificate : public TSDTLV {
 public:
  X509Certificate() = default;

  // Certificate ::= SEQUENCE { tbsCertificate, signatureAlgorithm, signatureValue BIT STRING }
  // with nothing after it.
  void Parse(const TSDByteArray& der);

  // The content octets of notBefore and notAfter, each followed by a zero byte; `*Tag`
  // (optional) receive 0x17 (UTCTime) or 0x18 (GeneralizedTime).
  void GetValidity(TSDByteArray& notBefore, TSDByteArray& notAfter, int* notBeforeTag = nullptr,
                   int* notAfterTag = nullptr) const;
  // Modulus length in bytes (a leading 00 of the INTEGER not counted).
  int PublicKeyLength() const noexcept { return modulus_.Length(); }
  // The serial number INTEGER's content, its first byte dropped when that byte is 00.
  void GetSerialNumber(TSDByteArray& out) const;
  // Imports {A1 modulus, A0 public exponent} into `node` (format 1).
  void ExportPublicKey(TSDKeyNode& node) const;
  // Extension `index` (from 0): its OID content, critical flag (first BOOLEAN byte, 0 when
  // absent) and extnValue content. False past the last extension.
  bool GetExtension(int index, TSDByteArray& oid, int& critical, TSDByteArray& value) const;
  // The first extension whose OID content equals `oid`.
  bool FindExtension(const TSDByteArray& oid, int& critical, TSDByteArray& value) const;
  // The to-be-signed SEQUENCE re-encoded from the kept fields (unique identifiers are not
  // kept). The signature is checked over this, so a certificate is accepted only when it is
  // exactly what the CA signed.
  TSDTLV RebuildToBeSigned() const;
  // The to-be-signed SEQUENCE as it was received.
  const TSDByteArray& ReceivedToBeSigned() const noexcept { return toBeSigned_; }
  // Whether the to-be-signed part carried issuer or subject unique identifiers.
  bool HasUniqueIdentifiers() const noexcept { return uniqueIdentifiers_; }
  // Checks this certificate's signature with `ca`'s public key (a scratch key of `keySet`).
  bool VerifySignature(TSDSVCKeySet& keySet, const X509Certificate& ca) const;

  const TSDByteArray& Issuer() const noexcept { return issuer_; }
  const TSDByteArray& Subject() const noexcept { return subject_; }

 private:
  TSDTLV serialNumber_;
  TSDTLV signatureAlgorithm_;
  TSDByteArray issuer_;
  TSDTLV validity_;
  TSDByteArray subject_;
  TSDTLV subjectPublicKeyInfo_;
  TSDByteArray extensions_;  // content octets of the Extensions SEQUENCE; empty when absent
  TSDTLV signatureValue_;    // the BIT STRING
  TSDByteArray toBeSigned_;
  TSDByteArray modulus_;   // without a leading 00
  TSDByteArray exponent_;  // without a leading 00
  bool uniqueIdentifiers_ = false;
};

// RSASSA-PKCS1-v1_5 verification with SHA-1: the key's public operation on `signature` must
// give exactly 00 01 FF..FF 00 DigestInfo(SHA-1, SHA-1(data)) at the key's full length, as
// the expected block is built here and compared byte for byte. Nothing is parsed out of the
// recovered block, so no layout a forger can compute without the CA's key (short padding,
// bytes after the digest, other hash OIDs, non-minimal lengths) gets through. A signature
// whose length is not the key length, or whose value is not below the modulus, is false.
bool CheckSignature(TSDKeyNode& key, const TSDByteArray& data, const TSDByteArray& signature);

// The DER DigestInfo of a SHA-1 digest: 30 21 30 09 06 05 2B 0E 03 02 1A 05 00 04 14 <20>.
TSDByteArray Sha1DigestInfo(const uint8_t digest[20]);

}  // namespace qorx
