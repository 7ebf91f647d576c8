#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "core/ByteArray.h"

namespace qorx {

class TSDBaseTerminalAppletService;

// The support report of this machine: processor, system, where the PC/SC client library lives,
// the versions of the PC/SC pieces installed, whether pcscd runs, and the readers. Its keys and
// texts are what the bank's support staff read, so they never change; the texts are UTF-8.
//
// The report lives in one fixed 4096-byte buffer. Pieces are appended whole: a piece that does
// not fit is dropped and the report is full from then on, so it never ends in half a line and
// nothing is ever written past the buffer.
class DiagnosticReport {
 public:
  static constexpr size_t kCapacity = 4096;  // bytes, the terminating NUL included

  DiagnosticReport() noexcept { Clear(); }

  // Back to the empty text, no longer full.
  void Clear() noexcept;
  // Append `text` (null appends nothing) or, when it does not fit, nothing. False once full.
  bool Append(const char* text) noexcept;
  bool AppendFormat(const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));

  const char* Text() const noexcept { return text_; }
  size_t Length() const noexcept { return length_; }
  bool Full() const noexcept { return full_; }

 private:
  char text_[kCapacity];
  size_t length_;
  bool full_;
};

// Where the readers section gets its readers from. The report normally asks the terminal applet
// service (GetReaderCount and GetReaderName); tests substitute failing sources.
class DiagnosticReaderSource {
 public:
  virtual ~DiagnosticReaderSource() = default;
  virtual int Count() = 0;
  virtual TSDByteArray Name(int index) = 0;
};

// Overwrites `report` with "[PCSCDiagnosticTest]\n" and the five sections: processor, system
// name, system directory, PC/SC components, readers. Failures of the system queries become
// texts of the report; an EAPSException from the readers ends the report after its message;
// anything else the service raises leaves the report unfinished and reaches the caller.
// Returns 0, or 257 (aps::kCannotServe) for a null report. The front end then appends its own
// ending ("TecnologiaAtiva.Modelo = JNI\n" or the control's lines) with report->Append.
int32_t BuildDiagnosticReport(TSDBaseTerminalAppletService& service, DiagnosticReport* report);
int32_t BuildDiagnosticReport(DiagnosticReaderSource& readers, DiagnosticReport* report);

// The process id of the first running process whose executable name matches `name`, 0 when
// none does. Matching ignores ASCII case, and the first occurrence of `name` in the candidate
// must end the candidate: "/usr/sbin/pcscd" matches "pcscd".
pid_t FindProcessId(const char* name) noexcept;

}  // namespace qorx
