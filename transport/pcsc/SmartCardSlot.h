#pragma once

#include <cstdint>

#include "transport/APDU.h"
#include "transport/BaseServices.h"

namespace qorx {

// The answer-to-reset of a card as the slot hands it out: a length byte and up to 33 ATR
// bytes (the ISO/IEC 7816-3 maximum). Bytes after the ATR are zero.
struct CardInfo {
  static constexpr int kMaxAtr = 33;
  uint8_t length;
  uint8_t atr[kMaxAtr];
};
static_assert(sizeof(CardInfo) == 34, "CardInfo is a 34-byte record");

// A card reader as the application layer sees it: presence, connection, APDU exchange and
// the transaction bracket. Concrete slots bind it to a platform (PC/SC).
class TSDSVCSmartCardSlot : public TSDBaseService {
 public:
  // Bits of Flags().
  static constexpr uint16_t CardPresent = 0x01;
  static constexpr uint16_t CardInReader = 0x02;
  static constexpr uint16_t CardMute = 0x10;
  static constexpr uint16_t CardConnected = 0x20;
  static constexpr uint16_t CardLost = 0x40;  // the connection was found broken
  static constexpr uint16_t SlotOpen = 0x80;

  // CardAction codes.
  static constexpr int ActionNone = 0;
  static constexpr int ActionRelease = 1;
  static constexpr int ActionReopen = 2;
  static constexpr int ActionConnect = 3;
  static constexpr int ActionConnectReset = 4;
  static constexpr int ActionDropConnection = 5;
  static constexpr int ActionEject = 6;
  static constexpr int ActionBeginTransaction = 9;
  static constexpr int ActionEndTransaction = 10;

  // GetAttribute identifiers (32-bit values).
  static constexpr uint16_t AttributeProtocol = 0x200;
  static constexpr uint16_t AttributeFixed1 = 0x201;
  static constexpr uint16_t AttributeFixed3 = 0x203;
  static constexpr uint16_t AttributeExchangeCount = 0x280;
  static constexpr uint16_t AttributeBytesReceived = 0x281;
  static constexpr uint16_t AttributeBytesSent = 0x282;

  explicit TSDSVCSmartCardSlot(const char* name) : TSDBaseService(name) {}
  ~TSDSVCSmartCardSlot() override;

  // Sends the command held in `apdu` and replaces its bytes by the complete response
  // (all response data followed by SW1 SW2).
  virtual void Transmit(TSDAPDU& apdu) = 0;
  // Refreshes the presence and connection bits and returns the flags; while connected and
  // `info` is not null, also stores the card's ATR there.
  virtual uint16_t GetStatus(CardInfo* info) = 0;
  // Connect, disconnect and the transaction bracket (Action* codes).
  virtual int CardAction(int code) = 0;
  // Reader control pass-through; returns the platform's result code (0 on success).
  virtual long Control(unsigned long code, const void* in, int inLength, void* out,
                       int* outLength) = 0;

  uint16_t Flags() const noexcept { return flags_; }

 protected:
  uint16_t flags_ = 0;
  // Counters never go back to zero; unsigned so that wrapping after 4 GiB is defined.
  uint32_t bytesReceived_ = 0;
  uint32_t bytesSent_ = 0;
  uint32_t exchangeCount_ = 0;
};

}  // namespace qorx
