#include "tools/qorx/CommandSupport.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "bindings/Operations.h"
#include "core/Exceptions.h"
#include "core/StatusCodes.h"
#include "tools/qorx/Progress.h"

namespace qorx::cli {

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

void RequireOneInput(const Options& o, bool fileAllowed) {
  const int count = (o.hasText ? 1 : 0) + (o.hasHex ? 1 : 0) + (o.hasFile ? 1 : 0);
  if (count != 1)
    throw UsageError(fileAllowed ? "give exactly one of --text, --hex, --file"
                                 : "give exactly one of --text, --hex");
}

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

void HashFile(const std::string& name, uint8_t (&digest)[TSDSHA1Digest::kDigestLength]) {
  struct stat info {};
  const uint64_t size = stat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode)
                            ? static_cast<uint64_t>(info.st_size)
                            : 0;
  Progress progress(name.c_str(), size);
  ops::HashFile(name.c_str(), digest, [&](size_t length) { progress.Advance(length); });
  progress.Done();
}

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

void EnsureAuthenticated(Context& c, const Options& o, Result& r) {
  TQorTerminalAppletService& s = c.Card();
  if (s.ApplicationState() <= TQorTerminalAppletService::StateCardAuthenticated) return;
  const std::string date = o.date.empty() ? Today() : o.date;
  const ops::CardIdentity card = ops::Authenticate(s, date.c_str());
  r.Text("pan", "PAN", card.pan.CStr());
  r.Text("panSequence", "PAN sequence", card.panSequence.CStr());
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

}  // namespace qorx::cli
