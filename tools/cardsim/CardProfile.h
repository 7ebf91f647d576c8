#pragma once

#include <memory>
#include <optional>
#include <string>

#include <openssl/types.h>

#include "tools/cardsim/Bytes.h"

namespace qorx::cardsim {

// What makes one bank card: its certificate (DER) and the private key it was issued for.
// Read from NAME.der and NAME.key; the key never leaves this object.
class CardProfile {
 public:
  // `nameOrPath`: a bare name ("default", "expired") is looked up in ProfileFolder(); with a
  // '/' it is a path without the extension (a trailing ".der" or ".key" is dropped). Null with
  // a message when either file cannot be read or the key is not an RSA private key.
  static std::shared_ptr<const CardProfile> Load(const std::string& nameOrPath, std::string* error);

  const std::string& Name() const { return name_; }
  const Bytes& Certificate() const { return certificate_; }
  // Modulus length in bytes: the size of every block the key deciphers or signs.
  size_t KeySize() const;

  // The raw RSA private-key operation (no padding) on one block of KeySize() bytes; nothing
  // when the block is not a number below the modulus.
  std::optional<Bytes> Decipher(const Bytes& block) const;
  // PKCS #1 v1.5 signature (block type 1) over `data` as it is, which the caller has already
  // made a DigestInfo; nothing when it does not fit.
  std::optional<Bytes> Sign(const Bytes& data) const;

 private:
  CardProfile() = default;

  std::string name_;
  Bytes certificate_;
  std::shared_ptr<EVP_PKEY> key_;
};

// Where bare profile names are found: $QORX_CARDSIM_PROFILES if set, else an installed
// simulator's own (PREFIX/share/qorx-cardsim/cards), else the test data that the build knows.
std::string ProfileFolder();

Bytes RandomBytes(size_t count);
Bytes Sha1(const Bytes& data);
// Clears a buffer that held a PIN or a deciphered block.
void Wipe(Bytes& bytes);

}  // namespace qorx::cardsim
