#include "tools/cardsim/CardConfig.h"

namespace qorx::cardsim {

namespace {

const uint8_t kHistory[] = {'Q', 'o', 'r', 'X', 'S', 'i', 'm', '1'};

}  // namespace

Bytes DefaultAtr(Protocol protocol) {
  Bytes atr{0x3B};
  const uint8_t k = sizeof kHistory;
  if (protocol == Protocol::kT0) {
    // No TD1: T=0 is implied and no TCK follows.
    atr.push_back(k);
    atr.insert(atr.end(), kHistory, kHistory + k);
    atr.back() = '0';
    return atr;
  }
  atr.push_back(0x80 | k);  // TD1 present
  atr.push_back(0x01);      // TD1: nothing further, T=1
  atr.insert(atr.end(), kHistory, kHistory + k);
  uint8_t tck = 0;
  for (size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
  atr.push_back(tck);
  return atr;
}

Bytes CardConfig::Atr() const {
  return atr ? *atr : DefaultAtr(protocol);
}

}  // namespace qorx::cardsim
