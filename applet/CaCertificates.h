#pragma once

#include <cstdint>

namespace qorx {

// The certification authorities whose card certificates the library accepts, in their fixed
// order. Build-time data: generated from the CA manifest (CMake option QORX_CA_MANIFEST).
struct CaCertificate {
  uint8_t keyIdentifier[20];   // what the certificates it issued carry as authority key id
  const uint8_t* certificate;  // DER
  uint32_t length;
  uint32_t production;  // 1 production CA, 0 test CA
};

constexpr int kCaCertificateCount = 5;
extern const CaCertificate kCaCertificates[kCaCertificateCount];

}  // namespace qorx
