// The diagnostic report: its buffer, the readers section and the assembly of the sections.
// The other sections' probes are in bindings/diagnostics/.
#include "bindings/Diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "applet/TerminalAppletService.h"
#include "bindings/diagnostics/Probes.h"
#include "core/Exceptions.h"
#include "core/StatusCodes.h"

namespace qorx {

// ---------------------------------------------------------------------------------------------
// The report buffer

void DiagnosticReport::Clear() noexcept {
  std::memset(text_, 0, sizeof text_);
  length_ = 0;
  full_ = false;
}

bool DiagnosticReport::Append(const char* text) noexcept {
  if (full_) return false;
  if (text == nullptr) return true;
  const size_t n = std::strlen(text);
  if (n >= kCapacity - length_) {
    full_ = true;
    return false;
  }
  std::memcpy(text_ + length_, text, n + 1);
  length_ += n;
  return true;
}

bool DiagnosticReport::AppendFormat(const char* format, ...) noexcept {
  if (full_) return false;
  const size_t room = kCapacity - length_;
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text_ + length_, room, format, args);
  va_end(args);
  if (n < 0 || static_cast<size_t>(n) >= room) {
    // Take back what vsnprintf wrote of the piece that did not fit.
    std::memset(text_ + length_, 0, room);
    full_ = true;
    return false;
  }
  length_ += static_cast<size_t>(n);
  return true;
}

namespace {

// ---------------------------------------------------------------------------------------------
// 5. Readers (1 to 4 are in bindings/diagnostics/)

class ServiceReaders : public DiagnosticReaderSource {
 public:
  explicit ServiceReaders(TSDBaseTerminalAppletService& service) : service_(service) {}
  int Count() override { return service_.GetReaderCount(); }
  TSDByteArray Name(int index) override { return service_.GetReaderName(index); }

 private:
  TSDBaseTerminalAppletService& service_;
};

void AppendReaders(DiagnosticReport& r, DiagnosticReaderSource& readers) {
  int count;
  try {
    count = readers.Count();
  } catch (const EAPSException& e) {
    r.Append("Leitoras.Quantidade = 0; Nao foi possivel enumerar leitoras PC/SC.\n");
    r.Append("ErroExtendido= ");
    r.Append(e.Message().CStr());
    return;
  }
  r.AppendFormat("Leitoras.Quantidade = %d\n", count);
  for (int i = 0; i < count && !r.Full(); ++i) {
    try {
      const TSDByteArray name = readers.Name(i);
      r.AppendFormat("Leitoras.Leitora.%d = %s\n", i, name.CStr());
    } catch (const EAPSException& e) {
      r.AppendFormat("Leitoras.Leitora.%d = %x ; Impossível enumerar leitora %d\n", i,
                     static_cast<unsigned>(e.Code()), i);
      return;
    }
  }
}

// Everything but the readers, which may raise.
void AppendMachine(DiagnosticReport& r) {
  r.Append("[PCSCDiagnosticTest]\n");
  diagnostics::AppendProcessor(r);
  const bool systemNamed = diagnostics::AppendSystemName(r);
  const std::string directory = diagnostics::AppendSystemDirectory(r);
  diagnostics::AppendComponents(r, directory, systemNamed);
}

}  // namespace

int32_t BuildDiagnosticReport(DiagnosticReaderSource& readers, DiagnosticReport* report) {
  if (report == nullptr) return aps::kCannotServe;
  report->Clear();
  try {
    AppendMachine(*report);
  } catch (...) {
    // Out of memory while looking at the machine: what was written stands, the readers follow.
  }
  AppendReaders(*report, readers);
  return aps::kSuccess;
}

int32_t BuildDiagnosticReport(TSDBaseTerminalAppletService& service, DiagnosticReport* report) {
  ServiceReaders readers(service);
  return BuildDiagnosticReport(readers, report);
}

}  // namespace qorx
