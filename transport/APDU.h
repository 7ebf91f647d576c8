#pragma once

#include <cstdint>

#include "core/ByteArray.h"
#include "core/Objects.h"

namespace qorx {

// One card exchange: a short command (ISO/IEC 7816-4 cases 1 to 4) built here, sent by the
// slot, and replaced by the card's response (data followed by SW1 SW2).
class TSDAPDU : public TSDObject {
 public:
  // GetLength / SetLength selectors.
  enum : int { kBytes = 0, kLc = 1, kLe = 2, kResponseData = 3 };

  TSDAPDU() = default;
  TSDAPDU(int cla, int ins, int p1, int p2, int lc, const uint8_t* data, int le);
  TSDAPDU(int cla, int ins, int p1, int p2, const TSDByteArray& data, int le);

  // Callers pass Lc 0-255 and Le 0-256 (256 is sent as 00); nothing is validated here.
  void SetCommand(int cla, int ins, int p1, int p2, int lc, const uint8_t* data, int le);
  // Takes raw command bytes; with `parse`, derives Lc and Le and raises 0xC500 unless the
  // bytes are exactly one well-formed short command.
  void ParseCommand(const TSDByteArray& bytes, bool parse);

  uint16_t StatusWord() const;
  int GetLength(int selector) const;
  void SetLength(int selector, int n);

  const TSDByteArray& Bytes() const noexcept { return bytes_; }
  const uint8_t* DataAt(int32_t pos) const noexcept { return bytes_.DataAt(pos); }
  uint8_t* WritableData() { return bytes_.WritableData(); }

 private:
  void Layout();

  TSDByteArray bytes_;
  int32_t lc_ = 0;
  int32_t le_ = 0;
};

}  // namespace qorx
