// The commands that need no card: readers, digests, password encryption, report, version.
#include <cstdio>
#include <string>
#include <vector>

#include "bindings/Operations.h"
#include "tools/qorx/CommandSupport.h"

#ifndef QORX_EMBEDS_TEST_DATA
#define QORX_EMBEDS_TEST_DATA 0
#endif

namespace qorx::cli {

int Readers(Context& c, const Options&, Result& r) {
  std::vector<std::string> names;
  for (const TSDByteArray& name : ops::ReaderNames(c.Service())) names.emplace_back(name.CStr());
  r.Number("count", "readers", static_cast<int64_t>(names.size()));
  r.List("readers", names);
  return kExitSuccess;
}

int Hash(Context&, const Options& o, Result& r) {
  RequireOneInput(o, true);
  uint8_t digest[TSDSHA1Digest::kDigestLength] = {};
  if (o.hasFile) {
    HashFile(o.file, digest);
  } else {
    r.Text("sha1", "SHA-1", ops::Sha1Text(InputBytes(o)).CStr());
    return kExitSuccess;
  }
  r.Text("sha1", "SHA-1", ops::DigestText(digest).CStr());
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

int Report(Context& c, const Options& o, Result& r) {
  const std::unique_ptr<DiagnosticReport> report = ops::Report(c.Service(), "CLI");
  if (o.json) {
    r.Text("report", "report", report->Text());
  } else {
    std::fputs(report->Text(), stdout);
    std::fflush(stdout);
  }
  return kExitSuccess;
}

int Version(Context&, const Options&, Result& r) {
  const TSDByteArray version = ops::VersionText();
  r.Text("version", "version", version.IsEmpty() ? "unknown" : version.CStr());
  r.Flag("testData", "test CAs and issuer keys", QORX_EMBEDS_TEST_DATA != 0);
  if (QORX_EMBEDS_TEST_DATA)
    r.Text("warning", "warning",
           "this build embeds the test CA certificates and test issuer keys, whose private "
           "halves are public: never use it with real cards");
  return kExitSuccess;
}

}  // namespace qorx::cli
