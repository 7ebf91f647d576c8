#pragma once

// The operations every front end offers, each result shaped here once: the Java natives, the
// scriptable control and the qorx command line call these, and keep to themselves only how
// arguments arrive, how results leave, and their own status rules.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "applet/QorTerminalAppletService.h"
#include "bindings/Diagnostics.h"
#include "core/ByteArray.h"
#include "crypto/SHA1Digest.h"

namespace qorx::ops {

// The card's PAN (bytes 0-7 of the certificate's serial number) and PAN sequence (byte 8), as
// uppercase hexadecimal texts.
struct CardIdentity {
  TSDByteArray pan;
  TSDByteArray panSequence;
};

// Authenticates the card on `date` ("YYYY/MM/DD"). A serial number too short to carry both
// raises 0x0110 (invalid certificate), as the service does.
CardIdentity Authenticate(TQorTerminalAppletService& service, const char* date);
// The same cut of a serial number read elsewhere; false (nothing set) when it is too short.
bool IdentityOfSerial(const TSDByteArray& serial, CardIdentity* out);

// The ATR of the card as last connected, in hexadecimal ("" when none).
TSDByteArray AtrText(TQorTerminalAppletService& service);

// The card application's status byte, the PIN tries left and the application version, read
// in the order the Java front end reports them (GET_FCI, then GET DATA 9F17).
struct ApplicationState {
  uint8_t status = 0;
  uint8_t triesLeft = 0;
  uint16_t versionRelease = 0;
};
ApplicationState ReadApplicationState(TQorTerminalAppletService& service);

// The names of the readers, in the order PC/SC lists them.
std::vector<TSDByteArray> ReaderNames(TSDBaseTerminalAppletService& service);

// SHA-1 of bytes, as the uppercase hexadecimal text every front end hands out.
TSDByteArray Sha1Text(const TSDByteArray& data);
TSDByteArray DigestText(const uint8_t (&digest)[TSDSHA1Digest::kDigestLength]);

// SHA-1 of a named file, read as a stream. `progress`, when set, gets each chunk's length.
// A file that cannot be opened raises EAPSException 785, one too large or unreadable 786 (they
// tell a caller about the file, not about the library); other failures pass on as they are.
using Progress = std::function<void(size_t bytes)>;
// 785 or 786 for the framework's file failures (0xC302; 0xC301, 0xC303), else 0.
int32_t FileFailureStatus(uint16_t frameworkCode) noexcept;
void HashFile(const char* fileName, uint8_t (&digest)[TSDSHA1Digest::kDigestLength],
              const Progress& progress = {});
// The card's signature of a named file: its SHA-1 as HashFile reads it, signed on the card.
TSDByteArray SignFile(TQorTerminalAppletService& service, const char* fileName);

// SHA-1 of a file whose bytes come in pieces from elsewhere (a file the customer chose in a
// browser), with the statuses HashFile gives for the same file.
class StreamedFileDigest {
 public:
  explicit StreamedFileDigest(uint64_t size) noexcept : size_(size) {}
  // False, taking nothing, for bytes beyond the size announced.
  bool Update(const uint8_t* bytes, size_t length) noexcept;
  // The digest of the bytes. Raises 786 for a file over HashFile's limit, and for one that
  // ended before its size (as a file that shrinks while it is read).
  void Final(uint8_t (&digest)[TSDSHA1Digest::kDigestLength]);

 private:
  TSDSHA1Digest sha1_;  // wipes itself, also when the file is abandoned
  uint64_t size_;
  uint64_t received_ = 0;
};

// The diagnostic report of this machine, ending with "TecnologiaAtiva.Modelo = <model>".
std::unique_ptr<DiagnosticReport> Report(TSDBaseTerminalAppletService& service, const char* model);

// This library's file version as "major.minor.patch.tweak"; empty when it cannot be read.
TSDByteArray VersionText();

}  // namespace qorx::ops
