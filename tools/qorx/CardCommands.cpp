// The commands that work with the card in the reader.
#include <cstdio>
#include <cstring>

#include "bindings/Operations.h"
#include "core/Exceptions.h"
#include "core/StatusCodes.h"
#include "tools/qorx/Certificate.h"
#include "tools/qorx/CommandSupport.h"

namespace qorx::cli {

int Status(Context& c, const Options&, Result& r) {
  TQorTerminalAppletService& s = c.Card();
  const int32_t state = s.ApplicationState();
  r.Text("reader", "reader", s.GetActiveReader().CStr());
  r.Number("cardStatus", "card status", state);
  r.Text("state", "state", StateName(state));
  if (state > TQorTerminalAppletService::StateCardReady) return kExitSuccess;
  r.Text("atr", "ATR", ops::AtrText(s).CStr());
  const ops::ApplicationState application = ops::ReadApplicationState(s);
  r.Number("version", "application version", application.versionRelease);
  r.Number("applicationStatus", "application status", application.status);
  r.Number("triesLeft", "PIN tries left", application.triesLeft);
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
  const ops::CardIdentity card = ops::Authenticate(s, date.c_str());
  r.Text("pan", "PAN", card.pan.CStr());
  r.Text("panSequence", "PAN sequence", card.panSequence.CStr());
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

}  // namespace qorx::cli
