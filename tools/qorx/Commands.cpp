#include "tools/qorx/Commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <vector>

#include "bindings/Diagnostics.h"
#include "bindings/ModuleVersion.h"
#include "core/Exceptions.h"
#include "core/StatusCodes.h"
#include "crypto/FileDigest.h"
#include "crypto/SHA1Digest.h"
#include "tools/qorx/Certificate.h"
#include "tools/qorx/Output.h"
#include "tools/qorx/Pin.h"
#include "tools/qorx/Progress.h"
#include "tools/qorx/StatusNames.h"
#include "transport/pcsc/SmartCardSlotPCSC.h"

#ifndef QORX_EMBEDS_TEST_DATA
#define QORX_EMBEDS_TEST_DATA 0
#endif

namespace qorx::cli {

namespace {

// The secret code could not be read (no terminal and no --pin-fd, or the input ended).
struct NoSecretCode {
  std::string why;
};

// A command's body. Returns the exit code (0, or kExitScriptStopped); failures raise.
using Body = int (*)(Context&, const Options&, Result&);

struct Command {
  const char* name;
  const char* usage;
  const char* help;
  std::vector<const char*> options;
  Body body;
};

std::string Hex(const TSDByteArray& bytes) {
  return bytes.ToHex().CStr();
}

std::string Today() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%Y/%m/%d", &local);
  return text;
}

const char* StateName(int32_t state) {
  switch (state) {
    case TQorTerminalAppletService::StateSecretCodeVerified:
      return "secret code verified";
    case TQorTerminalAppletService::StateCardAuthenticated:
      return "card authenticated";
    case TQorTerminalAppletService::StateCardReady:
      return "card ready";
    case TQorTerminalAppletService::StateCardMute:
      return "card mute";
    case TQorTerminalAppletService::StateNoCard:
      return "no card";
    default:
      return "unknown";
  }
}

// Exactly one of --text, --hex, --file (unless `fileAllowed` is false).
void RequireOneInput(const Options& o, bool fileAllowed) {
  const int count = (o.hasText ? 1 : 0) + (o.hasHex ? 1 : 0) + (o.hasFile ? 1 : 0);
  if (count != 1)
    throw UsageError(fileAllowed ? "give exactly one of --text, --hex, --file"
                                 : "give exactly one of --text, --hex");
}

// The bytes of --text (its characters, no terminator) or --hex. An empty result, or hex
// that does not read, is refused as the front ends refuse it.
TSDByteArray InputBytes(const Options& o) {
  TSDByteArray bytes;
  if (o.hasHex) {
    try {
      bytes.FromHex(o.hex.c_str());
    } catch (const ESDException&) {
      throw EAPSException(aps::kInvalidArgument);
    }
  } else {
    bytes = TSDByteArray(o.text.data(), static_cast<int32_t>(o.text.size()));
  }
  if (bytes.IsEmpty()) throw EAPSException(aps::kInvalidArgument);
  return bytes;
}

// SHA-1 of a file read as a stream, with a progress bar on a terminal.
void HashFile(const std::string& name, uint8_t digest[TSDSHA1Digest::kDigestLength]) {
  struct stat info {};
  const uint64_t size = stat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode)
                            ? static_cast<uint64_t>(info.st_size)
                            : 0;
  TSDSHA1Digest sha1;
  Progress progress(name.c_str(), size);
  ReadFileInChunks(name.c_str(), [&](const uint8_t* bytes, size_t length) {
    sha1.Update(bytes, length);
    progress.Advance(length);
  });
  sha1.Final(digest);
  progress.Done();
}

// An output file (--out) that cannot be written.
struct WriteFailure {
  std::string why;
};

void WriteFile(const std::string& name, const void* bytes, size_t length) {
  FILE* f = std::fopen(name.c_str(), "wb");
  if (f == nullptr) throw WriteFailure{name + ": " + std::strerror(errno)};
  const bool written = std::fwrite(bytes, 1, length, f) == length;
  const int error = errno;
  if (std::fclose(f) != 0 || !written)
    throw WriteFailure{name + ": " + std::strerror(written ? errno : error)};
}

void ReadSecretCode(const Options& o, const char* prompt, SecretCode& code) {
  if (o.pinFd >= 0) {
    if (!code.ReadFrom(o.pinFd))
      throw NoSecretCode{"no secret code on descriptor " + std::to_string(o.pinFd)};
    return;
  }
  if (!code.ReadFromTerminal(prompt))
    throw NoSecretCode{"no terminal to ask for the secret code: use --pin-fd N"};
}

// Authenticates the card unless it already is (today, or --date).
void EnsureAuthenticated(Context& c, const Options& o, Result& r) {
  TQorTerminalAppletService& s = c.Card();
  if (s.ApplicationState() <= TQorTerminalAppletService::StateCardAuthenticated) return;
  const std::string date = o.date.empty() ? Today() : o.date;
  const TSDByteArray serial = s.CardAuthenticate(date.c_str());
  r.Text("pan", "PAN", Hex(serial.Mid(0, 8)));
  r.Text("panSequence", "PAN sequence", Hex(serial.Mid(8, 1)));
}

void EnsureVerified(Context& c, const Options& o, Result& r) {
  EnsureAuthenticated(c, o, r);
  TQorTerminalAppletService& s = c.Service();
  if (s.ApplicationState() <= TQorTerminalAppletService::StateSecretCodeVerified) return;
  SecretCode code;
  ReadSecretCode(o, "PIN: ", code);
  s.CardVerifySecretCode(code.CStr());
}

// ---- the commands ---------------------------------------------------------------------------

int Readers(Context& c, const Options&, Result& r) {
  TSDBaseTerminalAppletService& s = c.Readers();
  const int count = s.GetReaderCount();
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) names.emplace_back(s.GetReaderName(i).CStr());
  r.Number("count", "readers", count);
  r.List("readers", names);
  return kExitSuccess;
}

int Status(Context& c, const Options&, Result& r) {
  TQorTerminalAppletService& s = c.Card();
  const int32_t state = s.ApplicationState();
  r.Text("reader", "reader", s.GetActiveReader().CStr());
  r.Number("cardStatus", "card status", state);
  r.Text("state", "state", StateName(state));
  if (state > TQorTerminalAppletService::StateCardReady) return kExitSuccess;
  CardInfo info{};
  s.GetCardInfo(info);
  r.Text("atr", "ATR", Hex(TSDByteArray(info.atr, std::min<int>(info.length, CardInfo::kMaxAtr))));
  r.Number("version", "application version", s.GetVersionRelease());
  r.Number("applicationStatus", "application status", s.GetApplicationStatus());
  r.Number("triesLeft", "PIN tries left", s.GetPinTryCounter());
  return kExitSuccess;
}

int Certificate(Context& c, const Options& o, Result& r) {
  const TSDByteArray der = c.Card().GetCertificate();
  const std::string format = o.format.empty() ? "summary" : o.format;
  if (format == "summary") {
    const CertificateSummary summary = Summarise(der);
    r.Text("subject", "subject", summary.subject);
    r.Text("issuer", "issuer", summary.issuer);
    r.Text("notBefore", "valid from", summary.notBefore);
    r.Text("notAfter", "valid until", summary.notAfter);
    r.Text("serial", "serial", summary.serial);
    if (!summary.pan.empty()) {
      r.Text("pan", "PAN", summary.pan);
      r.Text("panSequence", "PAN sequence", summary.panSequence);
    }
    return kExitSuccess;
  }
  const std::string pem = format == "pem" ? ToPem(der) : std::string();
  if (!o.out.empty()) {
    if (format == "pem")
      WriteFile(o.out, pem.data(), pem.size());
    else if (format == "der")
      WriteFile(o.out, der.Data(), static_cast<size_t>(der.Length()));
    else
      WriteFile(o.out, Hex(der).append("\n").data(), static_cast<size_t>(der.Length()) * 2 + 1);
    r.Text("file", "written to", o.out);
    r.Number("length", "bytes", der.Length());
    return kExitSuccess;
  }
  if (o.json) {
    r.Text("certificate", "certificate", format == "pem" ? pem : Hex(der));
    return kExitSuccess;
  }
  // Plain output is the certificate itself, ready for a pipe into openssl.
  if (format == "pem") {
    std::fputs(pem.c_str(), stdout);
  } else if (format == "der") {
    std::fwrite(der.Data(), 1, static_cast<size_t>(der.Length()), stdout);
  } else {
    std::printf("%s\n", Hex(der).c_str());
  }
  std::fflush(stdout);
  return kExitSuccess;
}

int Authenticate(Context& c, const Options& o, Result& r) {
  TQorTerminalAppletService& s = c.Card();
  const std::string date = o.date.empty() ? Today() : o.date;
  const TSDByteArray serial = s.CardAuthenticate(date.c_str());
  r.Text("pan", "PAN", Hex(serial.Mid(0, 8)));
  r.Text("panSequence", "PAN sequence", Hex(serial.Mid(8, 1)));
  r.Text("date", "date", date);
  return kExitSuccess;
}

int Verify(Context& c, const Options& o, Result& r) {
  EnsureAuthenticated(c, o, r);
  TQorTerminalAppletService& s = c.Service();
  {
    SecretCode code;
    ReadSecretCode(o, "PIN: ", code);
    s.CardVerifySecretCode(code.CStr());
  }
  r.Text("secretCode", "secret code", "verified");
  r.Number("triesLeft", "PIN tries left", s.GetPinTryCounter());
  return kExitSuccess;
}

int ChangePin(Context& c, const Options& o, Result& r) {
  EnsureAuthenticated(c, o, r);
  SecretCode current, replacement;
  ReadSecretCode(o, "Current PIN: ", current);
  ReadSecretCode(o, "New PIN: ", replacement);
  if (o.pinFd < 0) {
    SecretCode again;
    ReadSecretCode(o, "New PIN again: ", again);
    if (std::strcmp(again.CStr(), replacement.CStr()) != 0)
      throw UsageError("the new PINs differ; nothing was changed");
  }
  c.Service().ChangeSecretCode(current.CStr(), replacement.CStr());
  r.Text("secretCode", "secret code", "changed");
  return kExitSuccess;
}

int Sign(Context& c, const Options& o, Result& r) {
  RequireOneInput(o, true);
  uint8_t digest[TSDSHA1Digest::kDigestLength] = {};
  TSDByteArray data;
  if (o.hasFile)
    HashFile(o.file, digest);
  else
    data = InputBytes(o);
  EnsureVerified(c, o, r);
  TQorTerminalAppletService& s = c.Service();
  const TSDByteArray signature = o.hasFile ? s.SignDigest(digest) : s.SignTransaction(data);
  if (!o.out.empty()) {
    WriteFile(o.out, signature.Data(), static_cast<size_t>(signature.Length()));
    r.Text("file", "written to", o.out);
  }
  r.Text("signature", "signature", Hex(signature));
  return kExitSuccess;
}

int Hash(Context&, const Options& o, Result& r) {
  RequireOneInput(o, true);
  uint8_t digest[TSDSHA1Digest::kDigestLength] = {};
  if (o.hasFile) {
    HashFile(o.file, digest);
  } else {
    TSDSHA1Digest sha1;
    sha1.Update(InputBytes(o));
    sha1.Final(digest);
  }
  r.Text("sha1", "SHA-1", Hex(TSDByteArray(digest, sizeof digest)));
  return kExitSuccess;
}

int EncryptPassword(Context& c, const Options& o, Result& r) {
  RequireOneInput(o, false);
  if (o.hasKeyVersion && o.keyVersion != 1 && o.keyVersion != 3)
    throw UsageError("--key-version: 1 or 3");
  const TSDByteArray result = c.Service().EncryptPassword(
      InputBytes(o), static_cast<uint16_t>(o.tag), !o.hasKeyVersion || o.keyVersion == 3);
  r.Text("encryptedPassword", "encrypted password", Hex(result));
  return kExitSuccess;
}

int SecureChannel(Context& c, const Options& o, Result& r) {
  if (!o.hasChallenge && !o.hasScript && !o.hasScriptFile)
    throw UsageError("give --challenge, --script or --script-file");
  if (o.hasScript && o.hasScriptFile) throw UsageError("give --script or --script-file, not both");
  TQorTerminalAppletService& s = c.Card();
  if (o.hasChallenge) {
    TSDByteArray challenge;
    try {
      challenge.FromHex(o.challenge.c_str());
    } catch (const ESDException&) {
      throw EAPSException(aps::kInvalidArgument);
    }
    const uint8_t version = static_cast<uint8_t>(o.hasKeyVersion ? o.keyVersion : 3);
    r.Text("initialization", "initialization", Hex(s.SecureChannelInit(&challenge, version)));
  }
  if (!o.hasScript && !o.hasScriptFile) return kExitSuccess;
  TSDByteArray script;
  try {
    if (o.hasScript) {
      script.FromHex(o.script.c_str());
    } else {
      TSDByteArray text;
      text.LoadFromFile(o.scriptFile.c_str());
      text.Append("", 1);
      script.FromHex(text.CStr());
    }
  } catch (const ESDException& e) {
    if (e.Code() != sd::kMalformed) throw;
    throw EAPSException(aps::kInvalidArgument);
  }
  if (script.IsEmpty()) throw EAPSException(aps::kInvalidArgument);
  const uint16_t word = s.SecureChannelExecScript(script);
  char text[8];
  std::snprintf(text, sizeof text, "%04X", word);
  r.Text("scriptResult", "script result", text);
  if (word == 0x9000) return kExitSuccess;
  std::fprintf(stderr, "qorx secure-channel: the card answered %s to a command of the script\n",
               text);
  return kExitScriptStopped;
}

int Report(Context& c, const Options& o, Result& r) {
  DiagnosticReport report;
  BuildDiagnosticReport(c.Readers(), &report);
  report.Append("TecnologiaAtiva.Modelo = CLI\n");
  if (o.json) {
    r.Text("report", "report", report.Text());
  } else {
    std::fputs(report.Text(), stdout);
    std::fflush(stdout);
  }
  return kExitSuccess;
}

int Version(Context&, const Options&, Result& r) {
  char version[32] = {};
  if (GetModuleVersionText(version, sizeof version) != 0) std::strcpy(version, "unknown");
  r.Text("version", "version", version);
  r.Flag("testData", "test CAs and issuer keys", QORX_EMBEDS_TEST_DATA != 0);
  if (QORX_EMBEDS_TEST_DATA)
    r.Text("warning", "warning",
           "this build embeds the test CA certificates and test issuer keys, whose private "
           "halves are public: never use it with real cards");
  return kExitSuccess;
}

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"readers", "qorx readers [--json]", "List the PC/SC readers.", {"json"}, Readers},
      {"status",
       "qorx status [--reader NAME] [--json]",
       "The card in the reader: state, ATR, application version and status byte, PIN tries left.",
       {"reader", "json"},
       Status},
      {"certificate",
       "qorx certificate [--reader NAME] [--format summary|hex|pem|der | --pem | --der] "
       "[--out FILE] [--json]",
       "The card's certificate: a summary (subject, issuer, validity, PAN), or the certificate "
       "itself in hexadecimal, PEM or DER, on standard output or into --out FILE.",
       {"reader", "json", "format", "pem", "der", "out"},
       Certificate},
      {"authenticate",
       "qorx authenticate [--reader NAME] [--date YYYY/MM/DD] [--json]",
       "Authenticate the card by its certificate on the date given (today by default); prints "
       "the PAN and PAN sequence.",
       {"reader", "json", "date"},
       Authenticate},
      {"verify",
       "qorx verify [--reader NAME] [--date YYYY/MM/DD] [--pin-fd N] [--json]",
       "Authenticate the card, ask for the PIN (on the terminal without echo, or one line from "
       "descriptor N) and verify it; prints the tries left.",
       {"reader", "json", "date", "pin-fd"},
       Verify},
      {"change-pin",
       "qorx change-pin [--reader NAME] [--date YYYY/MM/DD] [--pin-fd N] [--json]",
       "Authenticate the card and change its PIN: asks for the current PIN and the new one "
       "(twice on a terminal; from descriptor N two lines, current then new).",
       {"reader", "json", "date", "pin-fd"},
       ChangePin},
      {"sign",
       "qorx sign (--text TEXT | --hex HEX | --file FILE) [--reader NAME] [--date YYYY/MM/DD] "
       "[--pin-fd N] [--out FILE] [--json]",
       "Have the card sign the SHA-1 of the data: authenticates the card and asks for the PIN "
       "unless done earlier in the session. --out writes the signature's bytes to FILE.",
       {"reader", "json", "date", "pin-fd", "text", "hex", "file", "out"},
       Sign},
      {"hash",
       "qorx hash (--text TEXT | --hex HEX | --file FILE) [--json]",
       "The SHA-1 digest of the data.",
       {"json", "text", "hex", "file"},
       Hash},
      {"encrypt-password",
       "qorx encrypt-password (--text TEXT | --hex HEX) [--tag N] [--key-version 1|3] [--json]",
       "Encipher a password for the bank under issuer key 3 (or 1); the result's element has "
       "tag N (default 0x80). No card needed.",
       {"json", "text", "hex", "tag", "key-version"},
       EncryptPassword},
      {"secure-channel",
       "qorx secure-channel [--challenge HEX [--key-version N]] [--script HEX | --script-file "
       "FILE] [--reader NAME] [--json]",
       "Start a secure channel with the host's challenge (INITIALIZE UPDATE) and/or run the "
       "host's script (hexadecimal, or a file of it) in it; prints the card's answer and the "
       "script's result.",
       {"reader", "json", "challenge", "key-version", "script", "script-file"},
       SecureChannel},
      {"report",
       "qorx report [--json]",
       "The diagnostic report of this PC's PC/SC installation.",
       {"json"},
       Report},
      {"version",
       "qorx version [--json]",
       "The library version, and whether this build embeds the test CAs and issuer keys.",
       {"json"},
       Version},
  };
  return commands;
}

const Command* FindCommand(const std::string& name) {
  for (const Command& c : Commands())
    if (name == c.name) return &c;
  return nullptr;
}

Failure FailureOf(Context& context, const EAPSException& e) {
  Failure f;
  f.status = e.Code();
  const char* name = ApplicationStatusName(f.status);
  f.name = name ? name : "unknown status";
  if (e.Code() == aps::kFrameworkError && e.Message().Length() > 1) f.detail = e.Message().CStr();
  switch (f.status) {
    case aps::kSecretCodeRejected: {
      f.exitCode = kExitRejected;
      try {
        f.triesLeft = context.Service().GetPinTryCounter();
        f.detail = std::to_string(f.triesLeft) + (f.triesLeft == 1 ? " try left" : " tries left");
      } catch (...) {
        // The count is a courtesy: the status itself is the answer.
      }
      break;
    }
    case aps::kSecretCodeBlocked:
      f.exitCode = kExitBlocked;
      break;
    case aps::kNoReader:
    case aps::kNoReaderOpen:
    case aps::kNoCard:
      f.exitCode = kExitNoCard;
      break;
    default:
      break;
  }
  return f;
}

Failure FailureOf(const ESDException& e) {
  // Files named on the command line fail as the control reports them.
  if (e.Code() == sd::kFileOpen || e.Code() == sd::kFileTooLarge || e.Code() == sd::kFileRead) {
    Failure f;
    f.status = e.Code() == sd::kFileOpen ? aps::kFileCannotOpen : aps::kFileTooLarge;
    f.name = ApplicationStatusName(f.status);
    return f;
  }
  Failure f;
  f.status = e.Code();
  const char* name = FrameworkCodeName(e.Code());
  f.name = name ? name : "unknown framework code";
  f.detail = EAPSException(e).Message().CStr();
  return f;
}

bool Allowed(const Command& command, const std::string& option) {
  if (option == "help") return true;
  for (const char* o : command.options)
    if (option == o) return true;
  return false;
}

}  // namespace

namespace {

class ReaderList : public TSDBaseTerminalAppletService {
 public:
  ReaderList() : TSDBaseTerminalAppletService(TSDSmartCardSlotPCSCFactory::Instance()) {}

 protected:
  void ReaderOpened() override {}
  void ReaderClosing() override {}
  void CardInserted(int) override {}
  void CardRemoved() override {}
};

}  // namespace

TSDBaseTerminalAppletService& Context::Readers() {
  if (service_) return *service_;
  if (!readerList_) readerList_ = std::make_unique<ReaderList>();
  return *readerList_;
}

TQorTerminalAppletService& Context::Service() {
  if (!service_) service_ = std::make_unique<TQorTerminalAppletService>();
  return *service_;
}

TQorTerminalAppletService& Context::Card() {
  TQorTerminalAppletService& s = Service();
  if (!open_) {
    s.Open(reader_.empty() ? "DEFAULT" : reader_.c_str());
    open_ = true;
  }
  s.GetCardStatus();
  return s;
}

void PrintHelp() {
  std::printf(
      "usage: qorx COMMAND [OPTIONS]    (qorx COMMAND --help for one command)\n\n"
      "The bank's card through PC/SC: readers, card status, certificate, authentication, PIN,\n"
      "signing, hashing, password encryption, secure channel, diagnostic report.\n\n"
      "commands:\n");
  for (const Command& c : Commands()) std::printf("  %-17s %s\n", c.name, c.help);
  std::printf("  %-17s %s\n\n", "session",
              "Read commands from standard input, one a line, in one card dialogue: the card stays "
              "authenticated and the PIN verified from one command to the next.");
  std::printf(
      "common options:\n"
      "  --reader NAME   the reader to use (default: the first listed)\n"
      "  --json          one JSON object per result, with \"status\" (0 for success)\n"
      "  --pin-fd N      read the PIN from descriptor N, one line per PIN; without it the PIN\n"
      "                  is asked on the terminal without echo. Never on the command line.\n"
      "  --date D        the date for card authentication, YYYY/MM/DD (default: today)\n\n"
      "A failure prints its status number and name on standard error (for example\n"
      "\"1794 secret code rejected, 2 tries left\"), with --json also as a JSON object.\n\n"
      "exit codes:\n"
      "  0  success\n"
      "  1  the operation failed; its status is printed\n"
      "  2  the command line is wrong\n"
      "  3  secret code rejected (1794)\n"
      "  4  secret code blocked (1795)\n"
      "  5  no reader, or no card in it (768, 2562, 2563)\n"
      "  6  the PIN could not be read (no terminal and no --pin-fd, or no line on it)\n"
      "  7  the card refused a command of the host's script\n");
}

int RunCommand(Context& context, const Options& options) noexcept {
  const std::string name = options.command;
  try {
    const Command* command = FindCommand(name);
    if (command == nullptr) throw UsageError("unknown command \"" + name + "\"");
    if (options.help) {
      std::printf("usage: %s\n\n%s\n", command->usage, command->help);
      return kExitSuccess;
    }
    for (const std::string& o : options.given)
      if (!Allowed(*command, o)) throw UsageError("--" + o + " is not an option of " + name);
    Result result(name);
    int code;
    try {
      code = command->body(context, options, result);
    } catch (const EAPSException& e) {
      PrintFailure(stdout, stderr, options.json, name, FailureOf(context, e));
      return FailureOf(context, e).exitCode;
    } catch (const ESDException& e) {
      const Failure f = FailureOf(e);
      PrintFailure(stdout, stderr, options.json, name, f);
      return f.exitCode;
    }
    result.Print(stdout, options.json);
    return code;
  } catch (const UsageError& e) {
    const std::string help = FindCommand(name) ? "qorx " + name + " --help" : "qorx --help";
    std::fprintf(stderr, "qorx %s: %s (%s)\n", name.c_str(), e.what(), help.c_str());
    return kExitUsage;
  } catch (const WriteFailure& e) {
    std::fprintf(stderr, "qorx %s: cannot write %s\n", name.c_str(), e.why.c_str());
    return kExitStatus;
  } catch (const NoSecretCode& e) {
    std::fprintf(stderr, "qorx %s: %s\n", name.c_str(), e.why.c_str());
    return kExitNoPin;
  } catch (...) {
    Failure f;
    f.status = aps::kUnexpected;
    f.name = ApplicationStatusName(f.status);
    PrintFailure(stdout, stderr, options.json, name, f);
    return kExitStatus;
  }
}

int RunSession(const Options& options) noexcept {
  int last = kExitSuccess;
  try {
    Context context(options);
    const bool terminal = isatty(STDIN_FILENO) == 1;
    std::string line;
    for (;;) {
      if (terminal) {
        std::fputs("qorx> ", stdout);
        std::fflush(stdout);
      }
      if (!std::getline(std::cin, line)) break;
      std::vector<std::string> words;
      try {
        words = SplitLine(line);
      } catch (const UsageError& e) {
        std::fprintf(stderr, "qorx session: %s\n", e.what());
        last = kExitUsage;
        continue;
      }
      if (words.empty() || words[0][0] == '#') continue;
      if (words[0] == "quit" || words[0] == "exit") break;
      if (words[0] == "help" && words.size() == 1) {
        PrintHelp();
        continue;
      }
      Options o;
      try {
        o = ParseArguments(words);
        if (o.command == "session") throw UsageError("already in a session");
        if (!o.reader.empty()) throw UsageError("a session keeps its reader; give it to session");
      } catch (const UsageError& e) {
        std::fprintf(stderr, "qorx session: %s\n", e.what());
        last = kExitUsage;
        continue;
      }
      if (options.json) o.json = true;
      if (o.pinFd < 0) o.pinFd = options.pinFd;
      if (o.date.empty()) o.date = options.date;
      // The session's own options count as given only where the command takes them.
      const int code = RunCommand(context, o);
      if (code != kExitSuccess) last = code;
    }
  } catch (...) {
    std::fprintf(stderr, "qorx session: 258 unexpected failure\n");
    return kExitStatus;
  }
  return last;
}

}  // namespace qorx::cli
