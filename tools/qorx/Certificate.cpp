#include "tools/qorx/Certificate.h"

#include <openssl/evp.h>

#include <cstdio>
#include <vector>

#include "applet/X509Certificate.h"
#include "bindings/Operations.h"
#include "core/ByteReader.h"

namespace qorx::cli {

namespace {

// One DER element: its tag (single byte) and a reader over its content.
bool ReadElement(ByteReader& in, uint8_t* tag, ByteReader* content) {
  uint8_t first;
  if (!in.ReadU8(tag) || !in.ReadU8(&first)) return false;
  size_t length = first;
  if (first & 0x80) {
    const int count = first & 0x7F;
    if (count == 0 || count > 3) return false;
    length = 0;
    for (int i = 0; i < count; ++i) {
      uint8_t b;
      if (!in.ReadU8(&b)) return false;
      length = (length << 8) | b;
    }
  }
  return in.ReadReader(length, content);
}

std::string Oid(ByteReader oid) {
  static const struct {
    uint8_t last;
    const char* name;
  } kAttributes[] = {{3, "CN"}, {5, "serialNumber"}, {6, "C"},   {7, "L"},
                     {8, "ST"}, {10, "O"},           {11, "OU"}, {12, "title"}};
  const uint8_t* bytes = oid.Position();
  const size_t n = oid.Remaining();
  if (n == 3 && bytes[0] == 0x55 && bytes[1] == 0x04)
    for (const auto& a : kAttributes)
      if (a.last == bytes[2]) return a.name;
  // Dotted form: first byte carries two arcs, then base-128 arcs.
  std::string text;
  uint64_t arc = 0;
  for (size_t i = 0; i < n; ++i) {
    arc = (arc << 7) | (bytes[i] & 0x7F);
    if (bytes[i] & 0x80) continue;
    if (text.empty()) {
      const uint64_t top = arc < 80 ? arc / 40 : 2;
      text = std::to_string(top) + "." + std::to_string(arc - top * 40);
    } else {
      text += "." + std::to_string(arc);
    }
    arc = 0;
  }
  return text.empty() ? "?" : text;
}

// A string value as it is when printable ASCII or UTF-8 text, otherwise with \xNN escapes.
std::string Value(ByteReader value) {
  std::string text;
  while (!value.Empty()) {
    uint8_t c;
    value.ReadU8(&c);
    if (c >= 0x20 && c != 0x7F) {
      text += static_cast<char>(c);
    } else {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02X", c);
      text += escape;
    }
  }
  return text;
}

std::string Time(const TSDByteArray& content, int tag) {
  // Content is followed by a NUL; UTCTime YYMMDDHHMMSSZ, GeneralizedTime YYYYMMDDHHMMSSZ.
  std::string s(reinterpret_cast<const char*>(content.Data()),
                content.Length() > 0 ? static_cast<size_t>(content.Length() - 1) : 0);
  if (tag == 0x17 && s.size() >= 12) s = (s.compare(0, 2, "50") < 0 ? "20" : "19") + s;
  if (s.size() < 14) return s;
  return s.substr(0, 4) + "-" + s.substr(4, 2) + "-" + s.substr(6, 2) + " " + s.substr(8, 2) + ":" +
         s.substr(10, 2) + ":" + s.substr(12, 2) + (s.size() > 14 && s[14] == 'Z' ? " UTC" : "");
}

}  // namespace

std::string RenderName(const TSDByteArray& name) {
  ByteReader in(name), rdns;
  uint8_t tag;
  if (!ReadElement(in, &tag, &rdns) || tag != 0x30) return "?";
  std::string text;
  while (!rdns.Empty()) {
    ByteReader set;
    if (!ReadElement(rdns, &tag, &set) || tag != 0x31) return text + (text.empty() ? "?" : ", ?");
    while (!set.Empty()) {
      ByteReader attribute, oid, value;
      uint8_t oidTag, valueTag;
      if (!ReadElement(set, &tag, &attribute) || tag != 0x30 ||
          !ReadElement(attribute, &oidTag, &oid) || oidTag != 0x06 ||
          !ReadElement(attribute, &valueTag, &value))
        return text + (text.empty() ? "?" : ", ?");
      if (!text.empty()) text += ", ";
      text += Oid(oid) + "=" + Value(value);
    }
  }
  return text;
}

CertificateSummary Summarise(const TSDByteArray& der) {
  X509Certificate certificate;
  certificate.Parse(der);
  CertificateSummary summary;
  summary.subject = RenderName(certificate.Subject());
  summary.issuer = RenderName(certificate.Issuer());
  TSDByteArray notBefore, notAfter;
  int beforeTag = 0, afterTag = 0;
  certificate.GetValidity(notBefore, notAfter, &beforeTag, &afterTag);
  summary.notBefore = Time(notBefore, beforeTag);
  summary.notAfter = Time(notAfter, afterTag);
  TSDByteArray serial;
  certificate.GetSerialNumber(serial);
  summary.serial = serial.ToHex().CStr();
  ops::CardIdentity card;
  if (ops::IdentityOfSerial(serial, &card)) {
    summary.pan = card.pan.CStr();
    summary.panSequence = card.panSequence.CStr();
  }
  return summary;
}

std::string ToPem(const TSDByteArray& der) {
  std::string pem = "-----BEGIN CERTIFICATE-----\n";
  const int32_t length = der.Length();
  for (int32_t at = 0; at < length; at += 48) {
    const int32_t n = length - at < 48 ? length - at : 48;
    unsigned char line[65];
    EVP_EncodeBlock(line, der.DataAt(at), n);
    pem += reinterpret_cast<const char*>(line);
    pem += '\n';
  }
  return pem + "-----END CERTIFICATE-----\n";
}

}  // namespace qorx::cli
