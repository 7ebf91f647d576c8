#include "transport/APDU.h"

#include <cstring>

#include "core/ByteReader.h"
#include "core/Exceptions.h"

namespace qorx {

TSDAPDU::TSDAPDU(int cla, int ins, int p1, int p2, int lc, const uint8_t* data, int le) {
  SetCommand(cla, ins, p1, p2, lc, data, le);
}

TSDAPDU::TSDAPDU(int cla, int ins, int p1, int p2, const TSDByteArray& data, int le) {
  SetCommand(cla, ins, p1, p2, data.Length(), data.Data(), le);
}

void TSDAPDU::Layout() {
  int32_t size = (lc_ <= 0 ? 4 : lc_ + 5) + (le_ > 0 ? 1 : 0);
  bytes_.SetLength(size);
  uint8_t* b = bytes_.WritableData();
  if (lc_ > 0) {
    b[4] = static_cast<uint8_t>(lc_);
    if (le_ > 0) b[lc_ + 5] = static_cast<uint8_t>(le_ & 0xFF);
  } else if (le_ > 0) {
    b[4] = static_cast<uint8_t>(le_ & 0xFF);
  }
}

void TSDAPDU::SetCommand(int cla, int ins, int p1, int p2, int lc, const uint8_t* data, int le) {
  // `data` may be a response this object still holds, whose block the new layout releases.
  TSDByteArray previous(bytes_);
  lc_ = lc;
  le_ = le;
  Layout();
  uint8_t* b = bytes_.WritableData();
  b[0] = static_cast<uint8_t>(cla);
  b[1] = static_cast<uint8_t>(ins);
  b[2] = static_cast<uint8_t>(p1);
  b[3] = static_cast<uint8_t>(p2);
  if (lc > 0 && data != nullptr) std::memcpy(b + 5, data, static_cast<size_t>(lc));
}

void TSDAPDU::ParseCommand(const TSDByteArray& bytes, bool parse) {
  bytes_ = bytes;
  lc_ = 0;
  le_ = 0;
  if (!parse || bytes.Length() <= 4) return;

  ByteReader r(bytes);
  uint8_t p3 = 0;
  r.Skip(4);
  r.ReadU8(&p3);
  int le = p3;
  // P3 is Lc when exactly that many data bytes (and at most one Le byte) follow.
  if (p3 != 0 && r.Remaining() >= p3) {
    lc_ = p3;
    r.Skip(p3);
    le = -1;
    uint8_t leByte = 0;
    if (r.ReadU8(&leByte)) le = leByte;
  }
  if (!r.Empty()) QORX_RAISE(sd::kMalformed, unit::kAPDU);
  le_ = le == 0 ? 256 : (le < 0 ? 0 : le);
}

uint16_t TSDAPDU::StatusWord() const {
  int32_t n = bytes_.Length();
  if (n < 2) QORX_RAISE(sd::kLength, unit::kAPDU);
  return static_cast<uint16_t>((bytes_.ByteAt(n - 2) << 8) | bytes_.ByteAt(n - 1));
}

int TSDAPDU::GetLength(int selector) const {
  switch (selector) {
    case kBytes:
      return bytes_.Length();
    case kLc:
      return lc_;
    case kLe:
      return le_;
    case kResponseData:
      if (bytes_.Length() < 2) QORX_RAISE(sd::kLength, unit::kAPDU);
      return bytes_.Length() - 2;
    default:
      QORX_RAISE(sd::kInvalidArgument, unit::kAPDU);
  }
}

void TSDAPDU::SetLength(int selector, int n) {
  if (n < 0) QORX_RAISE(sd::kLength, unit::kAPDU);
  switch (selector) {
    case kBytes:
      lc_ = le_ = 0;
      bytes_.SetLength(n);
      return;
    case kLc:
      if (n > 255) QORX_RAISE(sd::kLength, unit::kAPDU);
      lc_ = n;
      Layout();
      return;
    case kLe:
      if (n > 256) QORX_RAISE(sd::kLength, unit::kAPDU);
      le_ = n;
      Layout();
      return;
    case kResponseData:
      if (n > 256) QORX_RAISE(sd::kLength, unit::kAPDU);
      lc_ = le_ = 0;
      bytes_.SetLength(n + 2);
      return;
    default:
      QORX_RAISE(sd::kInvalidArgument, unit::kAPDU);
  }
}

}  // namespace qorx
