#pragma once

// The bare path the benchmarks measure the library against: pcsc-lite as any client would
// write it, linked directly, on the first virtual reader.

#include <PCSC/winscard.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace qorx::bench {

class BarePCSC {
 public:
  explicit BarePCSC(const char* reader) : reader_(reader) {}
  BarePCSC(const BarePCSC&) = delete;
  BarePCSC& operator=(const BarePCSC&) = delete;
  ~BarePCSC() {
    if (card_ != 0) SCardDisconnect(card_, SCARD_LEAVE_CARD);
    if (context_ != 0) SCardReleaseContext(context_);
  }

  bool Connect() {
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_) != SCARD_S_SUCCESS)
      return false;
    DWORD protocol = 0;
    if (SCardConnect(context_, reader_, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                     &card_, &protocol) != SCARD_S_SUCCESS)
      return false;
    pci_ = protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
    return true;
  }

  // The status poll of a card operation: the connected card's own status.
  bool CardStatus() {
    BYTE atr[MAX_ATR_SIZE];
    DWORD cardState = 0, protocol = 0, atrLength = sizeof atr;
    return SCardStatus(card_, nullptr, nullptr, &cardState, &protocol, atr, &atrLength) ==
           SCARD_S_SUCCESS;
  }
  // What a slot that did not trust its last status would ask: the reader's state, then the
  // card's.
  bool ReaderAndCardStatus() {
    SCARD_READERSTATE state;
    std::memset(&state, 0, sizeof state);
    state.szReader = reader_;
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    return SCardGetStatusChange(context_, 0, &state, 1) == SCARD_S_SUCCESS && CardStatus();
  }
  bool Begin() { return SCardBeginTransaction(card_) == SCARD_S_SUCCESS; }
  bool End() { return SCardEndTransaction(card_, SCARD_LEAVE_CARD) == SCARD_S_SUCCESS; }

  // One exchange: the response's length, or 0 on failure.
  DWORD Transmit(const uint8_t* command, size_t length, uint8_t* response, DWORD capacity) {
    DWORD n = capacity;
    return SCardTransmit(card_, pci_, command, static_cast<DWORD>(length), nullptr, response, &n) ==
                   SCARD_S_SUCCESS
               ? n
               : 0;
  }

  // Sends `command` and collects a 61xx answer with GET RESPONSE (T=0); the data of the
  // response in `data`, its status word as result, 0 when PC/SC failed.
  unsigned Send(const uint8_t* command, size_t length, std::vector<uint8_t>* data) {
    data->clear();
    uint8_t response[258];
    uint8_t getResponse[5] = {0x00, 0xC0, 0x00, 0x00, 0x00};
    for (int round = 0; round < 8; ++round) {
      const DWORD n = Transmit(command, length, response, sizeof response);
      if (n < 2) return 0;
      data->insert(data->end(), response, response + n - 2);
      const unsigned sw = static_cast<unsigned>(response[n - 2] << 8 | response[n - 1]);
      if (response[n - 2] != 0x61) return sw;
      getResponse[4] = response[n - 1];
      command = getResponse;
      length = sizeof getResponse;
    }
    return 0;
  }

 private:
  const char* reader_;
  SCARDCONTEXT context_ = 0;
  SCARDHANDLE card_ = 0;
  const SCARD_IO_REQUEST* pci_ = nullptr;
};

}  // namespace qorx::bench
