#pragma once

// The test PKI of tests/data/pki (made by tools/pki/make-test-pki.sh): CA keys and the card
// profiles listed in cards/cards.txt.

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "core/ByteArray.h"

namespace qorx::test {

inline std::string PkiPath(const std::string& name) {
  return std::string(QORX_PKI_DATA) + "/" + name;
}

inline TSDByteArray ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return TSDByteArray(bytes.data(), static_cast<int32_t>(bytes.size()));
}

inline TSDByteArray CardCertificate(const std::string& profile) {
  return ReadFileBytes(PkiPath("cards/" + profile + ".der"));
}

struct CardProfile {
  std::string name, issuer, pan, sequence, notBefore, notAfter;
};

inline std::vector<CardProfile> CardProfiles() {
  std::ifstream in(PkiPath("cards/cards.txt"));
  std::vector<CardProfile> profiles;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    CardProfile p;
    fields >> p.name >> p.issuer >> p.pan >> p.sequence >> p.notBefore >> p.notAfter;
    profiles.push_back(p);
  }
  return profiles;
}

}  // namespace qorx::test
