// Card certificate and card authentication.
#include <algorithm>

#include "applet/HostAppletService.h"
#include "applet/QorTerminalAppletService.h"
#include "applet/X509Certificate.h"
#include "core/Exceptions.h"
#include "crypto/KeyVault.h"
#include "transport/TLV.h"

namespace qorx {

namespace {

constexpr const char* kUnit = unit::kTerminalAppletServices;
constexpr int32_t kFileStart = 2;      // the two bytes before the certificate are not read
constexpr int32_t kFileEnd = 0x10000;  // offsets travel in P1 P2
constexpr int32_t kChunk = 256;
constexpr int32_t kPanAndSequence = 9;  // PAN (8 bytes) and PAN sequence (1 byte)

// Reads `digits` decimal digits at `pos`; false when the text is shorter or not digits.
bool ReadDigits(const TSDByteArray& text, int32_t pos, int digits, int32_t* out) {
  int32_t value = 0;
  for (int i = 0; i < digits; ++i) {
    if (pos + i >= text.TextLength()) return false;
    const char c = text.CharAt(pos + i);
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  *out = value;
  return true;
}

// One "%d" conversion: blanks, an optional sign, at least one digit, no overflow.
bool ReadNumber(const char*& p, int32_t* out) {
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (*p < '0' || *p > '9') return false;
  int64_t value = 0;
  while (*p >= '0' && *p <= '9') {
    value = value * 10 + (*p++ - '0');
    if (value > INT32_MAX) return false;
  }
  *out = static_cast<int32_t>(negative ? -value : value);
  return true;
}

}  // namespace

void TQorTerminalAppletService::ParseSystemDate(const char* text, CalendarDate& out) {
  CalendarDate date;
  const char* p = text;
  if (p == nullptr || !ReadNumber(p, &date.year) || *p++ != '/' || !ReadNumber(p, &date.month) ||
      *p++ != '/' || !ReadNumber(p, &date.day))
    throw EAPSException(aps::kMalformedDate);
  if (date.day < 1 || date.day > 31 || date.month < 1 || date.month > 12 || date.year < 1)
    throw EAPSException(aps::kMalformedDate);
  out = date;
}

void TQorTerminalAppletService::ParseCertificateDate(const TSDByteArray& text, int tag,
                                                     CalendarDate& out) {
  CalendarDate date;
  // GeneralizedTime, which certificates must use from 2050 on, spells the year out.
  const int yearDigits = tag == 0x18 ? 4 : 2;
  if (!ReadDigits(text, 0, yearDigits, &date.year) ||
      !ReadDigits(text, yearDigits, 2, &date.month) ||
      !ReadDigits(text, yearDigits + 2, 2, &date.day))
    throw EAPSException(aps::kMalformedDate);
  if (yearDigits == 2) date.year += 2000;
  out = date;
}

TSDByteArray TQorTerminalAppletService::ReadCertificate() {
  TSDByteArray result;
  int32_t end = kFileEnd;
  for (int32_t offset = kFileStart; offset < end; offset += kChunk) {
    const int32_t chunk = std::min(end - offset, kChunk);
    TSDByteArray data;
    const uint16_t sw =
        SendCommand(0x90, 0x0C, offset >> 8, offset & 0xFF, TSDByteArray(), chunk, data);
    if (sw != 0x9000) throw EAPSException(aps::kCertificateReadFailed);
    if (offset == kFileStart) {
      int length = 0;
      const int header = TSDTLV().ParseHeader(data, TSDBaseTLV::kHeaderTagLength, nullptr, &length);
      if (header <= 0) return result;
      // An element reaching past the last offset P1 P2 can name is cut there; what was read
      // then fails validation.
      end = std::min(kFileStart + header + length, kFileEnd);
    }
    // A card answering more than was asked does not get to lengthen the certificate.
    result.Append(data.Data(), std::min(data.Length(), chunk));
  }
  return result;
}

TSDByteArray TQorTerminalAppletService::GetCertificate() {
  if (!certificate_.IsEmpty()) return certificate_;
  return RunCardDialogue(StateCardReady, [&] {
    certificate_ = ReadCertificate();
    return certificate_;
  });
}

TSDByteArray TQorTerminalAppletService::CardAuthenticate(const char* systemDate) {
  try {
    cardPublicKey_.SetLength(0);
    RequireState(StateCardReady);
    try {
      TQorHostAppletServiceV2 host(application_, keySet_.get());
      if (certificate_.IsEmpty()) certificate_ = ReadCertificate();
      TSDByteArray publicKey;
      host.ValidateCertificate(certificate_, 0, publicKey);
      cardPublicKey_ = publicKey;

      // The date is looked at only once the certificate is known to be good.
      CalendarDate now;
      ParseSystemDate(systemDate, now);
      X509Certificate certificate;
      certificate.Parse(certificate_);
      TSDByteArray notBefore, notAfter;
      int notBeforeTag = 0, notAfterTag = 0;
      certificate.GetValidity(notBefore, notAfter, &notBeforeTag, &notAfterTag);
      CalendarDate start, end;
      ParseCertificateDate(notBefore, notBeforeTag, start);
      if (now < start) throw EAPSException(aps::kDateBeforeValidity);
      ParseCertificateDate(notAfter, notAfterTag, end);
      if (!(now < end)) throw EAPSException(aps::kDateAfterValidity);

      TSDByteArray serial;
      certificate.GetSerialNumber(serial);
      // The front ends take the PAN and its sequence number from fixed positions.
      if (serial.Length() < kPanAndSequence)
        QORX_RAISEF(sd::kMalformed, kUnit, "certificate serial number has %d bytes instead of 9",
                    serial.Length());
      SetApplicationState(StateCardAuthenticated);
      EndCardDialogue();
      return serial;
    } catch (...) {
      AbandonCardDialogue();
      cardPublicKey_.SetLength(0);
      // A card that left meanwhile stays gone: only an authenticated state falls back.
      if (ApplicationState() < StateCardReady) SetApplicationState(StateCardReady);
      FollowCardAfterFailure();
      throw;
    }
  } catch (const ESDException& e) {
    if (e.Code() == sd::kMalformed) throw EAPSException(aps::kCertificateInvalid);
    throw;
  }
}

}  // namespace qorx
