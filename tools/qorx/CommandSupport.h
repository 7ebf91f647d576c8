#pragma once

// What the qorx commands share: reading their data and secret codes, writing files, and the
// card steps that several commands take before their own.

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/ByteArray.h"
#include "crypto/SHA1Digest.h"
#include "tools/qorx/Args.h"
#include "tools/qorx/Commands.h"
#include "tools/qorx/Output.h"
#include "tools/qorx/Pin.h"

namespace qorx::cli {

// The secret code could not be read (no terminal and no --pin-fd, or the input ended).
struct NoSecretCode {
  std::string why;
};

// An output file (--out) that cannot be written.
struct WriteFailure {
  std::string why;
};

std::string Hex(const TSDByteArray& bytes);
std::string Today();  // YYYY/MM/DD, local time
const char* StateName(int32_t state);

// Exactly one of --text, --hex, --file (unless `fileAllowed` is false).
void RequireOneInput(const Options& o, bool fileAllowed);
// The bytes of --text (its characters, no terminator) or --hex. An empty result, or hex
// that does not read, is refused as the front ends refuse it.
TSDByteArray InputBytes(const Options& o);
// SHA-1 of a file read as a stream, with a progress bar on a terminal.
void HashFile(const std::string& name, uint8_t (&digest)[TSDSHA1Digest::kDigestLength]);
void WriteFile(const std::string& name, const void* bytes, size_t length);
void ReadSecretCode(const Options& o, const char* prompt, SecretCode& code);

// Authenticates the card unless it already is (today, or --date); reports the PAN when it
// authenticated.
void EnsureAuthenticated(Context& c, const Options& o, Result& r);
// The same, then asks for the PIN and verifies it unless already verified.
void EnsureVerified(Context& c, const Options& o, Result& r);

// The commands. Each returns the exit code (0, or kExitScriptStopped); failures raise.
int Readers(Context& c, const Options& o, Result& r);
int Status(Context& c, const Options& o, Result& r);
int Certificate(Context& c, const Options& o, Result& r);
int Authenticate(Context& c, const Options& o, Result& r);
int Verify(Context& c, const Options& o, Result& r);
int ChangePin(Context& c, const Options& o, Result& r);
int Sign(Context& c, const Options& o, Result& r);
int Hash(Context& c, const Options& o, Result& r);
int EncryptPassword(Context& c, const Options& o, Result& r);
int SecureChannel(Context& c, const Options& o, Result& r);
int Report(Context& c, const Options& o, Result& r);
int Version(Context& c, const Options& o, Result& r);

}  // namespace qorx::cli
