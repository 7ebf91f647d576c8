#include "tools/cardsim/Apdu.h"

namespace qorx::cardsim {

Bytes ResponseApdu::Encode() const {
  Bytes out = data;
  out.push_back(static_cast<uint8_t>(sw >> 8));
  out.push_back(static_cast<uint8_t>(sw & 0xFF));
  return out;
}

bool ParseCommand(ByteReader in, CommandApdu* out) {
  CommandApdu c;
  c.raw.assign(in.Position(), in.Position() + in.Remaining());
  if (!in.ReadU8(&c.cla) || !in.ReadU8(&c.ins) || !in.ReadU8(&c.p1) || !in.ReadU8(&c.p2)) {
    return false;
  }
  if (in.Empty()) {
    c.kind = CommandApdu::kCase1;
    *out = std::move(c);
    return true;
  }
  in.ReadU8(&c.p3);
  if (in.Empty()) {  // CLA INS P1 P2 Le
    c.kind = CommandApdu::kCase2;
    c.le = c.p3 == 0 ? 256 : c.p3;
    *out = std::move(c);
    return true;
  }
  // CLA INS P1 P2 Lc data [Le]. Lc 00 followed by more bytes would be an extended length,
  // which no reader of ours passes on.
  if (c.p3 == 0) return false;
  const uint8_t* data;
  if (!in.ReadBytes(c.p3, &data)) return false;
  c.data.assign(data, data + c.p3);
  c.kind = CommandApdu::kCase3;
  uint8_t le;
  if (in.ReadU8(&le)) {
    c.kind = CommandApdu::kCase4;
    c.le = le == 0 ? 256 : le;
  }
  if (!in.Empty()) return false;
  *out = std::move(c);
  return true;
}

}  // namespace qorx::cardsim
