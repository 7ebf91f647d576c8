#pragma once

#include <cstdint>

#include "transport/BaseServices.h"
#include "transport/pcsc/SmartCardSlot.h"

namespace qorx {

// A smart-card slot on one PC/SC reader (the service name is the reader name).
//
// The slot owns its resource-manager context and card handle and nothing outside it keeps
// either: Close (and the destructor) give both back. Exchange buffers live on the stack.
class TSDSVCSmartCardSlotPCSC : public TSDSVCSmartCardSlot {
 public:
  static constexpr int kSendCapacity = 260;     // CLA INS P1 P2 Lc, 255 data bytes, Le
  static constexpr int kReceiveCapacity = 258;  // 256 data bytes, SW1 SW2
  // A card answering 61xx is asked for more at most this many times, and all the data it
  // returns for one command may not exceed kMaxResponseData; beyond either bound Transmit
  // raises 0xC400 rather than follow a card that never stops.
  static constexpr int kMaxGetResponseRounds = 256;
  static constexpr int kMaxResponseData = 65536;
  // While another application holds its transaction on the card, pcsc-lite answers
  // SCARD_E_SHARING_VIOLATION (we ask it not to wait itself); the slot asks again every
  // kSharingPollMs for at most kSharingWaitMs, then fails with that status.
  static constexpr int kSharingWaitMs = 5000;
  static constexpr int kSharingPollMs = 50;

  explicit TSDSVCSmartCardSlotPCSC(const char* readerName);
  ~TSDSVCSmartCardSlotPCSC() override;
  TSDSVCSmartCardSlotPCSC(const TSDSVCSmartCardSlotPCSC&) = delete;
  TSDSVCSmartCardSlotPCSC& operator=(const TSDSVCSmartCardSlotPCSC&) = delete;

  // Loads PC/SC if needed and establishes a context; does not connect to the card. On any
  // failure the slot is closed again and the exception passed on. Opening an open slot
  // gives back its old context first.
  void Open(const char* argument) override;
  // Disconnects (ejecting) and releases the context; never raises.
  void Close() noexcept override;
  int GetAttribute(uint16_t id, void* out, int size) override;

  void Transmit(TSDAPDU& apdu) override;
  uint16_t GetStatus(CardInfo* info) override;
  int CardAction(int code) override;
  long Control(unsigned long code, const void* in, int inLength, void* out,
               int* outLength) override;

 private:
  int ManageConnect(int action, bool raise);
  int ConnectFresh();
  uint32_t Exchange(const void* pci, const uint8_t* send, uint32_t length, uint8_t* receive);
  // The service restarted or our context or handle died: the card connection counts as lost
  // (the card is identified afresh) and the next status query starts a new context.
  void ServiceLost() noexcept;
  // A new context in place of the dead one; the card is connected again by reader name.
  void Recover();
  long ReaderStatus(void* state);

  bool recover_ = false;      // the context must be replaced before its next use
  bool transaction_ = false;  // we hold a PC/SC transaction on the card
  bool fresh_ = false;        // Open's first status query, on the context it just made

  // pcsc-lite's SCARDCONTEXT, SCARDHANDLE and DWORD (checked where they are used), kept out
  // of this header so that its includers do not see the platform's type names.
  long context_ = 0;
  long card_ = 0;
  unsigned long protocol_ = 0;
};

// Lists the PC/SC readers and makes slots for them ("SmartCardSlot.PCSC").
class TSDSmartCardSlotPCSCFactory : public TSDBaseServiceFactory {
 public:
  static constexpr const char* kName = "SmartCardSlot.PCSC";
  // Reader lists longer than this are refused (0xC400): pcsc-lite itself stays far below.
  static constexpr int kMaxReaderList = 65536;

  // The process-wide factory, made on first request and never destroyed.
  static TSDSmartCardSlotPCSCFactory* Instance();

  int EnumerateNames(char* buffer, int* size) override;
  TSDSVCSmartCardSlotPCSC* CreateService(const char* name) override;

 private:
  TSDSmartCardSlotPCSCFactory() : TSDBaseServiceFactory(kName) {}
};

}  // namespace qorx
