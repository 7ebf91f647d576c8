#pragma once

#include <cstdint>

namespace qorx {

// The issuer's RSA public keys for password encryption, as key-vault import blobs (component
// A1: the 128-byte modulus, then component A0: the public exponent). Build-time data: the
// build generates their definition from the file named by QORX_ISSUER_KEYS_FILE.
struct IssuerKey {
  uint8_t version;  // 1, 2 or 3
  const uint8_t* blob;
  int length;
};

constexpr int kIssuerKeyCount = 3;
extern const IssuerKey kIssuerKeys[kIssuerKeyCount];  // versions 1, 2, 3 in this order

}  // namespace qorx
