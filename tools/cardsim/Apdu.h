#pragma once

#include <cstdint>

#include "core/ByteReader.h"
#include "tools/cardsim/Bytes.h"

namespace qorx::cardsim {

// A short command APDU as the reader passed it on (ISO/IEC 7816-4 cases 1 to 4).
struct CommandApdu {
  enum Case { kCase1, kCase2, kCase3, kCase4 };

  Bytes raw;  // the bytes as received
  uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
  Case kind = kCase1;
  Bytes data;      // command data (cases 3 and 4)
  int le = 0;      // expected length 1..256 (cases 2 and 4); 0 when absent
  uint8_t p3 = 0;  // the byte after P2 as sent (0 for case 1)
};

struct ResponseApdu {
  Bytes data;
  uint16_t sw = 0x9000;

  static ResponseApdu Status(uint16_t sw) { return ResponseApdu{{}, sw}; }
  Bytes Encode() const;
};

// Reads exactly one short command from `in`; false for anything else (too short, a length
// byte that disagrees with the size, extended lengths, trailing bytes).
bool ParseCommand(ByteReader in, CommandApdu* out);

}  // namespace qorx::cardsim
