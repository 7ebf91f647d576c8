#include "applet/X509Certificate.h"

#include <cstring>

#include "core/ByteReader.h"
#include "core/Exceptions.h"
#include "crypto/KeyComponents.h"
#include "crypto/SHA1Digest.h"

namespace qorx {

namespace {

constexpr const char* kUnit = unit::kHostAppletService;
constexpr int kMaxComponent = 256;  // the longest value a key component can hold

[[noreturn]] void Malformed(const char* what) {
  QORX_RAISEF(sd::kMalformed, kUnit, "malformed certificate: %s", what);
}

// One DER element read off a bounded cursor.
struct Der {
  int tag = 0;
  const uint8_t* start = nullptr;
  size_t size = 0;  // header and value
  ByteReader value;

  TSDByteArray Encoding() const { return TSDByteArray(start, static_cast<int32_t>(size)); }
  TSDByteArray Content() const {
    return TSDByteArray(value.Position(), static_cast<int32_t>(value.Remaining()));
  }
};

// A tag of one byte, or of two when the first one's low five bits are all set (the forms the
// TLV classes encode); a definite length in its shortest form (DER), up to 82 hh ll. The
// cursor moves only when the whole element lies within it.
bool ReadDer(ByteReader& in, Der* out) {
  ByteReader r = in;
  const uint8_t* start = r.Position();
  uint8_t b = 0;
  if (!r.ReadU8(&b)) return false;
  int tag = b;
  if ((b & 0x1F) == 0x1F) {
    uint8_t second = 0;
    if (!r.ReadU8(&second) || second < 0x1F || (second & 0x80) != 0) return false;
    tag = tag * 256 + second;
  }
  uint8_t first = 0;
  if (!r.ReadU8(&first)) return false;
  size_t length = first;
  if (first == 0x81) {
    uint8_t n = 0;
    if (!r.ReadU8(&n) || n < 0x80) return false;
    length = n;
  } else if (first == 0x82) {
    uint16_t n = 0;
    if (!r.ReadU16(&n) || n < 0x100) return false;
    length = n;
  } else if (first >= 0x80) {
    return false;  // indefinite, or longer than a card file can hold
  }
  ByteReader value;
  if (!r.ReadReader(length, &value)) return false;
  out->tag = tag;
  out->start = start;
  out->size = static_cast<size_t>(r.Position() - start);
  out->value = value;
  in = r;
  return true;
}

bool Expect(ByteReader& in, int tag, Der* out) {
  ByteReader r = in;
  if (!ReadDer(r, out) || out->tag != tag) return false;
  in = r;
  return true;
}

// Reads an element when it is the next one and has one of the tags.
bool Optional(ByteReader& in, int tag1, int tag2, Der* out) {
  return Expect(in, tag1, out) || (tag2 != 0 && Expect(in, tag2, out));
}

// The magnitude of a non-negative INTEGER: its content without the sign byte 00.
bool UnsignedInteger(const Der& integer, TSDByteArray* out) {
  ByteReader r = integer.value;
  uint8_t first = 0;
  if (!r.PeekU8(&first) || (first & 0x80) != 0) return false;
  if (first == 0 && r.Remaining() > 1) r.Skip(1);
  if (r.Remaining() > static_cast<size_t>(kMaxComponent)) return false;
  *out = TSDByteArray(r.Position(), static_cast<int32_t>(r.Remaining()));
  return true;
}

// Extension ::= SEQUENCE { extnID OBJECT IDENTIFIER, critical BOOLEAN OPTIONAL,
//                          extnValue OCTET STRING }
bool ReadExtension(ByteReader& list, Der* oid, Der* critical, Der* value) {
  Der extension;
  if (!Expect(list, 0x30, &extension)) return false;
  ByteReader e = extension.value;
  if (!Expect(e, 0x06, oid) || oid->value.Empty()) return false;
  critical->tag = 0;
  if (Expect(e, 0x01, critical) && critical->value.Remaining() != 1) return false;
  return Expect(e, 0x04, value) && e.Empty();
}

bool IsTime(int tag) {
  return tag == 0x17 || tag == 0x18;
}

const uint8_t kSha1DigestInfoPrefix[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                         0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};

}  // namespace

void X509Certificate::Parse(const TSDByteArray& der) {
  ByteReader all(der);
  Der certificate, toBeSigned, outerAlgorithm, signature;
  if (!Expect(all, 0x30, &certificate) || !all.Empty()) Malformed("not one SEQUENCE");
  ByteReader c = certificate.value;
  if (!Expect(c, 0x30, &toBeSigned) || !Expect(c, 0x30, &outerAlgorithm) ||
      !Expect(c, 0x03, &signature) || !c.Empty())
    Malformed("Certificate fields");

  // TBSCertificate ::= SEQUENCE { version [0] EXPLICIT INTEGER OPTIONAL, serialNumber INTEGER,
  //   signature AlgorithmIdentifier, issuer Name, validity Validity, subject Name,
  //   subjectPublicKeyInfo, issuerUniqueID [1] OPTIONAL, subjectUniqueID [2] OPTIONAL,
  //   extensions [3] EXPLICIT Extensions OPTIONAL }
  ByteReader t = toBeSigned.value;
  Der version, serial, algorithm, issuer, validity, subject, keyInfo, skipped, extensions;
  TSDByteArray versionEncoding;
  if (Expect(t, 0xA0, &version)) {
    ByteReader v = version.value;
    Der number;
    if (!Expect(v, 0x02, &number) || !v.Empty() || number.value.Remaining() != 1)
      Malformed("version");
    versionEncoding = version.Encoding();
  }
  if (!Expect(t, 0x02, &serial) || serial.value.Empty()) Malformed("serial number");
  if (!Expect(t, 0x30, &algorithm)) Malformed("signature algorithm");
  if (!Expect(t, 0x30, &issuer)) Malformed("issuer");
  if (!Expect(t, 0x30, &validity)) Malformed("validity");
  {
    // Validity ::= SEQUENCE { notBefore Time, notAfter Time }
    ByteReader v = validity.value;
    Der notBefore, notAfter;
    if (!ReadDer(v, &notBefore) || !ReadDer(v, &notAfter) || !v.Empty() || !IsTime(notBefore.tag) ||
        !IsTime(notAfter.tag))
      Malformed("validity");
  }
  if (!Expect(t, 0x30, &subject)) Malformed("subject");
  if (!Expect(t, 0x30, &keyInfo)) Malformed("subject public key info");
  bool unique = false;
  // [1] and [2] IMPLICIT BIT STRING; the constructed forms are taken as well.
  if (Optional(t, 0x81, 0xA1, &skipped)) unique = true;
  if (Optional(t, 0x82, 0xA2, &skipped)) unique = true;
  TSDByteArray extensionList;
  if (Expect(t, 0xA3, &extensions)) {
    ByteReader x = extensions.value;
    Der sequence;
    if (!Expect(x, 0x30, &sequence) || !x.Empty()) Malformed("extensions");
    ByteReader list = sequence.value;
    Der oid, critical, value;
    while (!list.Empty()) {
      if (!ReadExtension(list, &oid, &critical, &value)) Malformed("extension");
    }
    extensionList = sequence.Content();
  }
  if (!t.Empty()) Malformed("to-be-signed fields");

  // SubjectPublicKeyInfo ::= SEQUENCE { algorithm, subjectPublicKey BIT STRING } holding
  // RSAPublicKey ::= SEQUENCE { modulus INTEGER, publicExponent INTEGER }
  ByteReader k = keyInfo.value;
  Der keyAlgorithm, keyBits, rsaKey, modulusInteger, exponentInteger;
  if (!Expect(k, 0x30, &keyAlgorithm) || !Expect(k, 0x03, &keyBits) || !k.Empty())
    Malformed("subject public key info");
  ByteReader bits = keyBits.value;
  uint8_t unusedBits = 0xFF;
  if (!bits.ReadU8(&unusedBits) || unusedBits != 0 || !Expect(bits, 0x30, &rsaKey) || !bits.Empty())
    Malformed("RSA public key");
  ByteReader rsa = rsaKey.value;
  TSDByteArray modulus, exponent;
  if (!Expect(rsa, 0x02, &modulusInteger) || !Expect(rsa, 0x02, &exponentInteger) || !rsa.Empty() ||
      !UnsignedInteger(modulusInteger, &modulus) || !UnsignedInteger(exponentInteger, &exponent))
    Malformed("RSA public key");

  ByteReader s = signature.value;
  uint8_t signatureUnusedBits = 0xFF;
  if (!s.ReadU8(&signatureUnusedBits) || signatureUnusedBits != 0 || s.Empty())
    Malformed("signature value");

  // Everything checked: take the fields over (no step below can fail halfway).
  encoding_ = versionEncoding;
  serialNumber_.SetEncoding(serial.Encoding());
  signatureAlgorithm_.SetEncoding(algorithm.Encoding());
  issuer_ = issuer.Encoding();
  validity_.SetEncoding(validity.Encoding());
  subject_ = subject.Encoding();
  subjectPublicKeyInfo_.SetEncoding(keyInfo.Encoding());
  extensions_ = extensionList;
  signatureValue_.SetEncoding(signature.Encoding());
  toBeSigned_ = toBeSigned.Encoding();
  modulus_ = modulus;
  exponent_ = exponent;
  uniqueIdentifiers_ = unique;
}

void X509Certificate::GetValidity(TSDByteArray& notBefore, TSDByteArray& notAfter,
                                  int* notBeforeTag, int* notAfterTag) const {
  ByteReader v(validity_.Encoding());
  Der sequence, first, second;
  if (!Expect(v, 0x30, &sequence)) Malformed("validity");
  ByteReader times = sequence.value;
  if (!ReadDer(times, &first) || !ReadDer(times, &second)) Malformed("validity");
  const uint8_t nul = 0;
  notBefore = first.Content();
  notBefore.Append(&nul, 1);
  notAfter = second.Content();
  notAfter.Append(&nul, 1);
  if (notBeforeTag != nullptr) *notBeforeTag = first.tag;
  if (notAfterTag != nullptr) *notAfterTag = second.tag;
}

void X509Certificate::GetSerialNumber(TSDByteArray& out) const {
  const TSDByteArray value = serialNumber_.Value();
  if (value.Length() > 1 && value.ByteAt(0) == 0x00) {
    out = value.Mid(1, value.Length() - 1);
  } else {
    out = value;
  }
}

void X509Certificate::ExportPublicKey(TSDKeyNode& node) const {
  TSDByteArray list;
  AddComponent(list, keytag::kPublicModulus, modulus_);
  AddComponent(list, keytag::kPublicExponent, exponent_);
  node.Import(0, kKeyFormatComponents, list.Data(), list.Length());
}

bool X509Certificate::GetExtension(int index, TSDByteArray& oid, int& critical,
                                   TSDByteArray& value) const {
  if (index < 0) return false;
  ByteReader list(extensions_);
  Der oidElement, criticalElement, valueElement;
  for (int i = 0; !list.Empty(); ++i) {
    if (!ReadExtension(list, &oidElement, &criticalElement, &valueElement)) Malformed("extension");
    if (i != index) continue;
    oid = oidElement.Content();
    critical = 0;
    if (criticalElement.tag == 0x01) {
      uint8_t flag = 0;
      criticalElement.value.PeekU8(&flag);
      critical = flag;
    }
    value = valueElement.Content();
    return true;
  }
  return false;
}

bool X509Certificate::FindExtension(const TSDByteArray& oid, int& critical,
                                    TSDByteArray& value) const {
  TSDByteArray candidate;
  for (int i = 0; GetExtension(i, candidate, critical, value); ++i) {
    if (candidate == oid) return true;
  }
  return false;
}

TSDTLV X509Certificate::RebuildToBeSigned() const {
  TSDByteArray content;
  content.Append(encoding_);
  content.Append(serialNumber_.Encoding());
  content.Append(signatureAlgorithm_.Encoding());
  content.Append(issuer_);
  content.Append(validity_.Encoding());
  content.Append(subject_);
  content.Append(subjectPublicKeyInfo_.Encoding());
  if (!extensions_.IsEmpty()) {
    const TSDTLV sequence(0x30, extensions_);
    content.Append(TSDTLV(0xA3, sequence.Encoding()).Encoding());
  }
  return TSDTLV(0x30, content);
}

bool X509Certificate::VerifySignature(TSDSVCKeySet& keySet, const X509Certificate& ca) const {
  TSDScratchKey key(keySet, keytype::kRsaPublic, static_cast<uint16_t>(ca.PublicKeyLength()));
  ca.ExportPublicKey(*key.Get());
  // The BIT STRING's content after its unused-bits octet (checked to be 0 by Parse).
  const TSDByteArray bits = signatureValue_.Value();
  const TSDByteArray signature = bits.Mid(1, bits.Length() - 1);
  return CheckSignature(*key.Get(), RebuildToBeSigned().Encoding(), signature);
}

TSDByteArray Sha1DigestInfo(const uint8_t digest[20]) {
  TSDByteArray info(kSha1DigestInfoPrefix, sizeof kSha1DigestInfoPrefix);
  info.Append(digest, TSDSHA1Digest::kDigestLength);
  return info;
}

bool CheckSignature(TSDKeyNode& key, const TSDByteArray& data, const TSDByteArray& signature) {
  const int32_t k = key.KeyLength();
  const int32_t infoLength =
      static_cast<int32_t>(sizeof kSha1DigestInfoPrefix + TSDSHA1Digest::kDigestLength);
  // 00 01, at least eight FF bytes, 00, the DigestInfo.
  if (k < infoLength + 11 || signature.Length() != k) return false;
  TSDByteArray block;
  try {
    key.PublicOperation(block, signature);
  } catch (const ESDException& e) {
    // A value not below the modulus is refused by the RSA operation: not a signature.
    if (e.Code() == sd::kNoMemory) throw;
    return false;
  }
  uint8_t digest[TSDSHA1Digest::kDigestLength];
  TSDSHA1Digest sha;
  sha.Update(data);
  sha.Final(digest);
  TSDByteArray expected(k);
  uint8_t* e = expected.WritableData();
  e[1] = 0x01;
  std::memset(e + 2, 0xFF, static_cast<size_t>(k - infoLength - 3));
  e[k - infoLength - 1] = 0x00;
  std::memcpy(e + k - infoLength, kSha1DigestInfoPrefix, sizeof kSha1DigestInfoPrefix);
  std::memcpy(e + k - TSDSHA1Digest::kDigestLength, digest, sizeof digest);
  return block == expected;
}

}  // namespace qorx
