// The PC/SC slot's commands: APDUs under T=0 and T=1 (a wrong length corrected, 61xx
// collected with GET RESPONSE), and control codes to the reader.
#include <cstring>

#include "core/Exceptions.h"
#include "core/Wipe.h"
#include "transport/pcsc/PCSCLibrary.h"
#include "transport/pcsc/SlotResults.h"
#include "transport/pcsc/SmartCardSlotPCSC.h"

namespace qorx {
namespace {

constexpr const char* kUnit = unit::kSmartCardSlotPCSC;

// Protocol control information of pcsc-lite's own layout.
const SCARD_IO_REQUEST kT0Header = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST kT1Header = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};

// Command and response bytes can hold secret codes and card data: the buffer is wiped when
// the exchange is over, however it ends.
template <size_t N>
struct StackBuffer {
  uint8_t bytes[N] = {};
  StackBuffer() = default;
  StackBuffer(const StackBuffer&) = delete;
  StackBuffer& operator=(const StackBuffer&) = delete;
  ~StackBuffer() { SecureWipe(bytes, N); }
};

}  // namespace

uint32_t TSDSVCSmartCardSlotPCSC::Exchange(const void* pci, const uint8_t* send, uint32_t length,
                                           uint8_t* receive) {
  const pcsc::Functions& lib = pcsc::Load();
  DWORD received = kReceiveCapacity;
  LONG rv = pcsc::WhileShared([&] {
    received = kReceiveCapacity;
    return lib.Transmit(card_, static_cast<const SCARD_IO_REQUEST*>(pci), send, length, nullptr,
                        receive, &received);
  });
  // The command under way fails with its status; the card counts as removed, so the next
  // call identifies it afresh through a new context.
  if (pcsc::MeansServiceGone(rv)) {
    ServiceLost();
    pcsc::CheckPCSCResult(rv, "SCardTransmit()", true);
  }
  // Transmit trusts the connection state of the last status query instead of asking pcscd
  // again before every command (two round trips, more than the exchange itself). When the
  // card turns out to be gone, the refreshed status reports it as that query would have.
  if (rv != SCARD_S_SUCCESS && pcsc::MeansCardGone(rv) && (GetStatus(nullptr) & CardConnected) == 0)
    QORX_RAISE(sd::kWrongState, kUnit);
  pcsc::CheckPCSCResult(rv, "SCardTransmit()", true);
  // The reported length is the platform's word: never believe more than the buffer holds.
  if (received > static_cast<DWORD>(kReceiveCapacity)) QORX_RAISE(sd::kLength, kUnit);
  bytesSent_ += length;
  bytesReceived_ += static_cast<uint32_t>(received);
  ++exchangeCount_;
  // A response without a whole status word is no response we can act on.
  if (received < 2) QORX_RAISE(sd::kLength, kUnit);
  return static_cast<uint32_t>(received);
}

void TSDSVCSmartCardSlotPCSC::Transmit(TSDAPDU& apdu) {
  if ((flags_ & CardConnected) == 0) QORX_RAISE(sd::kWrongState, kUnit);

  int32_t n = apdu.GetLength(TSDAPDU::kBytes);
  if (n > kSendCapacity) QORX_RAISE(sd::kLength, kUnit);
  StackBuffer<kSendCapacity> send;
  StackBuffer<kReceiveCapacity> receive;
  if (n > 0) std::memcpy(send.bytes, apdu.DataAt(0), static_cast<size_t>(n));

  const bool hasData = apdu.GetLength(TSDAPDU::kLc) > 0;
  bool leSent = apdu.GetLength(TSDAPDU::kLe) > 0;
  const SCARD_IO_REQUEST* pci = nullptr;
  if (protocol_ == SCARD_PROTOCOL_T0) {
    pci = &kT0Header;
    // Under T=0 a case 4 command goes without its Le; the card answers 61xx instead.
    if (hasData && leSent) {
      --n;
      leSent = false;
    }
  } else if (protocol_ == SCARD_PROTOCOL_T1) {
    pci = &kT1Header;
  } else {
    QORX_RAISE(sd::kMalformed, kUnit);
  }

  uint32_t length = static_cast<uint32_t>(n);
  uint32_t received = Exchange(pci, send.bytes, length, receive.bytes);
  // Wrong length: SW2 is the Le the card wants, and the command goes again once with it. In a
  // command with data P3 is Lc, not Le: writing SW2 there would send the card a command whose
  // length disagrees with its data. Its Le is then the last byte, and without one sent (a
  // command without data and Le included: repeated, it would only be sent twice) there is
  // nothing to correct and 6Cxx is the answer.
  if (received == 2 && receive.bytes[0] == 0x6C && leSent) {
    send.bytes[hasData ? length - 1 : 4] = receive.bytes[1];
    received = Exchange(pci, send.bytes, length, receive.bytes);
  }

  if (receive.bytes[received - 2] != 0x61) {
    apdu.SetLength(TSDAPDU::kBytes, static_cast<int>(received));
    std::memcpy(apdu.WritableData(), receive.bytes, received);
    return;
  }

  // 61xx: xx more bytes wait; collect them with GET RESPONSE until another status comes.
  uint8_t getResponse[5] = {0x00, 0xC0, 0x00, 0x00, 0x00};
  uint32_t total = 0;
  int rounds = 0;
  do {
    uint32_t data = received - 2;
    if (total + data > static_cast<uint32_t>(kMaxResponseData)) QORX_RAISE(sd::kLength, kUnit);
    if (data > 0) {
      apdu.SetLength(TSDAPDU::kBytes, static_cast<int>(total + data));
      std::memcpy(apdu.WritableData() + total, receive.bytes, data);
      total += data;
    }
    if (rounds == kMaxGetResponseRounds) QORX_RAISE(sd::kLength, kUnit);
    ++rounds;
    getResponse[4] = receive.bytes[received - 1];
    received = Exchange(pci, getResponse, sizeof getResponse, receive.bytes);
  } while (receive.bytes[received - 2] == 0x61);

  if (total + received - 2 > static_cast<uint32_t>(kMaxResponseData))
    QORX_RAISE(sd::kLength, kUnit);
  apdu.SetLength(TSDAPDU::kBytes, static_cast<int>(total + received));
  std::memcpy(apdu.WritableData() + total, receive.bytes, received);
}

long TSDSVCSmartCardSlotPCSC::Control(unsigned long code, const void* in, int inLength, void* out,
                                      int* outLength) {
  if (inLength < 0 || (outLength != nullptr && *outLength < 0))
    QORX_RAISE(sd::kInvalidArgument, kUnit);
  const pcsc::Functions& lib = pcsc::Load();
  const DWORD capacity = outLength != nullptr ? static_cast<DWORD>(*outLength) : 0;
  auto report = [&](DWORD returned) {
    if (outLength != nullptr)
      *outLength = static_cast<int>(returned < capacity ? returned : capacity);
  };

  DWORD returned = 0;
  LONG rv = lib.Control(card_, code, in, static_cast<DWORD>(inLength), out, capacity, &returned);
  if (rv != SCARD_W_REMOVED_CARD) {
    report(returned);
    return rv;
  }
  if (flags_ & CardConnected) {
    flags_ &= static_cast<uint16_t>(~CardConnected);
    flags_ |= CardLost;
  }
  returned = 0;
  rv = lib.Control(card_, code, in, static_cast<DWORD>(inLength), out, capacity, &returned);
  pcsc::CheckPCSCResult(rv, "SCardControl()", true);
  report(returned);
  return SCARD_S_SUCCESS;
}

}  // namespace qorx
