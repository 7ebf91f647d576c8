#include "bindings/Operations.h"

#include <limits>

#include "bindings/ModuleVersion.h"
#include "core/Exceptions.h"
#include "core/StatusCodes.h"
#include "crypto/FileDigest.h"

namespace qorx::ops {

namespace {

constexpr int32_t kIdentityLength = 9;  // PAN (8 bytes) and its sequence (1)

}  // namespace

bool IdentityOfSerial(const TSDByteArray& serial, CardIdentity* out) {
  if (serial.Length() < kIdentityLength) return false;
  out->pan = serial.Mid(0, 8).ToHex();
  out->panSequence = serial.Mid(8, 1).ToHex();
  return true;
}

CardIdentity Authenticate(TQorTerminalAppletService& service, const char* date) {
  CardIdentity identity;
  if (!IdentityOfSerial(service.CardAuthenticate(date), &identity))
    throw EAPSException(aps::kCertificateInvalid);
  return identity;
}

TSDByteArray AtrText(TQorTerminalAppletService& service) {
  CardInfo info{};
  service.GetCardInfo(info);
  // The length comes from the slot; the array has room for the longest ATR only.
  const int length = info.length <= CardInfo::kMaxAtr ? info.length : CardInfo::kMaxAtr;
  return TSDByteArray(info.atr, length).ToHex();
}

ApplicationState ReadApplicationState(TQorTerminalAppletService& service) {
  ApplicationState state;
  state.status = service.GetApplicationStatus();
  state.triesLeft = service.GetPinTryCounter();
  state.versionRelease = service.GetVersionRelease();
  return state;
}

std::vector<TSDByteArray> ReaderNames(TSDBaseTerminalAppletService& service) {
  const int count = service.GetReaderCount();
  std::vector<TSDByteArray> names;
  names.reserve(static_cast<size_t>(count > 0 ? count : 0));
  for (int i = 0; i < count; ++i) names.push_back(service.GetReaderName(i));
  return names;
}

TSDByteArray DigestText(const uint8_t (&digest)[TSDSHA1Digest::kDigestLength]) {
  return TSDByteArray(digest, static_cast<int32_t>(sizeof digest)).ToHex();
}

TSDByteArray Sha1Text(const TSDByteArray& data) {
  TSDSHA1Digest sha1;
  sha1.Update(data);
  uint8_t digest[TSDSHA1Digest::kDigestLength];
  sha1.Final(digest);
  return DigestText(digest);
}

int32_t FileFailureStatus(uint16_t frameworkCode) noexcept {
  switch (frameworkCode) {
    case sd::kFileOpen:
      return aps::kFileCannotOpen;
    case sd::kFileTooLarge:
    case sd::kFileRead:
      return aps::kFileTooLarge;
    default:
      return aps::kSuccess;
  }
}

void HashFile(const char* fileName, uint8_t (&digest)[TSDSHA1Digest::kDigestLength],
              const Progress& progress) {
  try {
    TSDSHA1Digest sha1;
    ReadFileInChunks(fileName, [&](const uint8_t* bytes, size_t length) {
      sha1.Update(bytes, length);
      if (progress) progress(length);
    });
    sha1.Final(digest);
  } catch (const ESDException& e) {
    const int32_t status = FileFailureStatus(e.Code());
    if (status == aps::kSuccess) throw;
    throw EAPSException(status);
  }
}

TSDByteArray SignFile(TQorTerminalAppletService& service, const char* fileName) {
  uint8_t digest[TSDSHA1Digest::kDigestLength];
  HashFile(fileName, digest);
  return service.SignDigest(digest);
}

bool StreamedFileDigest::Update(const uint8_t* bytes, size_t length) noexcept {
  if (length > size_ - received_) return false;
  sha1_.Update(bytes, length);
  received_ += length;
  return true;
}

void StreamedFileDigest::Final(uint8_t (&digest)[TSDSHA1Digest::kDigestLength]) {
  // HashFile reads no file over this size, and fails one that ends early.
  if (size_ > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) || received_ != size_)
    throw EAPSException(FileFailureStatus(sd::kFileRead));
  sha1_.Final(digest);
}

std::unique_ptr<DiagnosticReport> Report(TSDBaseTerminalAppletService& service, const char* model) {
  auto report = std::make_unique<DiagnosticReport>();
  BuildDiagnosticReport(service, report.get());
  report->AppendFormat("TecnologiaAtiva.Modelo = %s\n", model);
  return report;
}

TSDByteArray VersionText() {
  char text[32] = {};
  if (GetModuleVersionText(text, sizeof text) != 0) return TSDByteArray();
  return TSDByteArray(text);
}

}  // namespace qorx::ops
