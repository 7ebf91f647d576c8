#include "transport/pcsc/SmartCardSlotPCSC.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>

#include "core/ByteReader.h"
#include "core/Exceptions.h"
#include "core/Wipe.h"
#include "transport/pcsc/PCSCLibrary.h"

namespace qorx {
namespace {

static_assert(std::is_same<SCARDCONTEXT, long>::value, "context handle type");
static_assert(std::is_same<SCARDHANDLE, long>::value, "card handle type");
static_assert(std::is_same<DWORD, unsigned long>::value, "DWORD type");

constexpr const char* kUnit = unit::kSmartCardSlotPCSC;

// Protocol control information of pcsc-lite's own layout.
const SCARD_IO_REQUEST kT0Header = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST kT1Header = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};

// pcsc-lite knows no raw protocol bit for shared connections to a card; asking for its RAW
// protocol could leave the card in a mode Transmit refuses, so connect and reconnect both
// offer T=0 and T=1.
constexpr DWORD kPreferredProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;

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

// A context private to one enumeration, released whichever way the enumeration ends.
class ScopedContext {
 public:
  explicit ScopedContext(const pcsc::Functions& lib) : lib_(lib) {
    SCARDCONTEXT context = 0;
    pcsc::CheckPCSCResult(lib_.EstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context),
                          "SCardEstablishContext()", true);
    context_ = context;
  }
  ~ScopedContext() { lib_.ReleaseContext(context_); }
  ScopedContext(const ScopedContext&) = delete;
  ScopedContext& operator=(const ScopedContext&) = delete;
  SCARDCONTEXT Get() const noexcept { return context_; }

 private:
  const pcsc::Functions& lib_;
  SCARDCONTEXT context_ = 0;
};

// Number of names in a PC/SC multi-string of `length` bytes. The bytes come from the
// platform: a name that runs to the end without its NUL makes the list malformed (0xC500)
// instead of being read past.
int CountNames(const uint8_t* names, size_t length) {
  ByteReader reader(names, length);
  int count = 0;
  uint8_t c = 0;
  while (reader.PeekU8(&c) && c != 0) {
    do {
      if (!reader.ReadU8(&c)) QORX_RAISE(sd::kMalformed, kUnit);
    } while (c != 0);
    ++count;
  }
  return count;
}

// Results by which pcsc-lite says the card behind a handle is no longer the one connected.
bool MeansCardGone(LONG rv) {
  switch (static_cast<uint32_t>(rv)) {
    case static_cast<uint32_t>(SCARD_W_REMOVED_CARD):
    case static_cast<uint32_t>(SCARD_W_RESET_CARD):
    case static_cast<uint32_t>(SCARD_E_NO_SMARTCARD):
    case static_cast<uint32_t>(SCARD_W_UNPOWERED_CARD):
    case static_cast<uint32_t>(SCARD_W_UNRESPONSIVE_CARD):
    case static_cast<uint32_t>(SCARD_E_READER_UNAVAILABLE):
      return true;
    default:
      return false;
  }
}

// Results by which pcsc-lite says the service went away (stopped, restarted) or no longer
// knows our context or handle: nothing more can be done through them.
bool MeansServiceGone(LONG rv) {
  switch (static_cast<uint32_t>(rv)) {
    case static_cast<uint32_t>(SCARD_E_NO_SERVICE):
    case static_cast<uint32_t>(SCARD_E_SERVICE_STOPPED):
    case static_cast<uint32_t>(SCARD_E_INVALID_HANDLE):
    case static_cast<uint32_t>(SCARD_E_READER_UNAVAILABLE):
    case static_cast<uint32_t>(SCARD_F_COMM_ERROR):
      return true;
    default:
      return false;
  }
}

// pcsc-lite's client waits without any bound while another application holds a transaction
// on the card: it asks pcscd again every PCSCLITE_LOCK_POLL_RATE until the other lets go,
// in SCardBeginTransaction, SCardTransmit, SCardStatus and SCardReconnect. With
// PCSCLITE_NO_BLOCKING set when the process makes its first context, those calls answer
// SCARD_E_SHARING_VIOLATION at once and WhileShared below does the waiting, bounded. A value
// the environment already has is kept.
void AskPCSCNotToWait() {
  static std::once_flag once;
  std::call_once(once, [] { ::setenv("PCSCLITE_NO_BLOCKING", "1", 0); });
}

template <typename Call>
LONG WhileShared(Call&& call) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end =
      Clock::now() + std::chrono::milliseconds(TSDSVCSmartCardSlotPCSC::kSharingWaitMs);
  for (;;) {
    const LONG rv = call();
    if (static_cast<uint32_t>(rv) != static_cast<uint32_t>(SCARD_E_SHARING_VIOLATION) ||
        Clock::now() >= end)
      return rv;
    std::this_thread::sleep_for(std::chrono::milliseconds(TSDSVCSmartCardSlotPCSC::kSharingPollMs));
  }
}

bool IsSharingViolation(LONG rv) {
  return static_cast<uint32_t>(rv) == static_cast<uint32_t>(SCARD_E_SHARING_VIOLATION);
}

// The ATR as the platform reported it, cut to the reader-state area and to what CardInfo holds:
// a library reporting more cannot make us read on.
void CopyAtr(const BYTE (&atr)[MAX_ATR_SIZE], DWORD length, CardInfo* info) {
  if (info == nullptr) return;
  size_t n = length;
  if (n > sizeof atr) n = sizeof atr;
  if (n > static_cast<size_t>(CardInfo::kMaxAtr)) n = CardInfo::kMaxAtr;
  std::memset(info, 0, sizeof *info);
  info->length = static_cast<uint8_t>(n);
  std::memcpy(info->atr, atr, n);
}

}  // namespace

TSDSVCSmartCardSlotPCSC::TSDSVCSmartCardSlotPCSC(const char* readerName)
    : TSDSVCSmartCardSlot(readerName) {}

TSDSVCSmartCardSlotPCSC::~TSDSVCSmartCardSlotPCSC() {
  Close();
}

void TSDSVCSmartCardSlotPCSC::Open(const char*) {
  try {
    AskPCSCNotToWait();
    const pcsc::Functions& lib = pcsc::Load();
    if (context_ != 0 || card_ != 0) Close();
    flags_ = 0;
    SCARDCONTEXT context = 0;
    pcsc::CheckPCSCResult(lib.EstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context),
                          "SCardEstablishContext()", true);
    context_ = context;
    flags_ = SlotOpen;
    // The context is new: a service that fails it now is not one that went away under it.
    fresh_ = true;
    GetStatus(nullptr);
    fresh_ = false;
  } catch (const ESDException&) {
    fresh_ = false;
    Close();
    throw;
  }
}

void TSDSVCSmartCardSlotPCSC::Close() noexcept {
  // Handles exist only after a complete load; the check keeps a test's library reset from
  // turning into a call through a null pointer.
  const pcsc::Functions* lib = pcsc::Loaded();
  if (card_ != 0) {
    if (lib != nullptr) lib->Disconnect(card_, SCARD_EJECT_CARD);
    card_ = 0;
  }
  if (context_ != 0) {
    if (lib != nullptr) lib->ReleaseContext(context_);
    context_ = 0;
  }
  protocol_ = 0;
  flags_ = 0;
  recover_ = false;
  transaction_ = false;
}

void TSDSVCSmartCardSlotPCSC::ServiceLost() noexcept {
  recover_ = true;
  // A transaction dies with the service; a later end of it has nothing to end.
  transaction_ = false;
  if (flags_ & CardConnected) {
    flags_ &= static_cast<uint16_t>(~CardConnected);
    flags_ |= CardLost;
  }
}

void TSDSVCSmartCardSlotPCSC::Recover() {
  const pcsc::Functions& lib = pcsc::Load();
  // The old handles are given back for the client library's own bookkeeping; the service
  // behind them is gone, so their results say nothing.
  if (card_ != 0) {
    lib.Disconnect(card_, SCARD_LEAVE_CARD);
    card_ = 0;
  }
  if (context_ != 0) {
    lib.ReleaseContext(context_);
    context_ = 0;
  }
  protocol_ = 0;
  SCARDCONTEXT context = 0;
  // Still no service: raised, and the next call tries again.
  pcsc::CheckPCSCResult(lib.EstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context),
                        "SCardEstablishContext()", true);
  context_ = context;
  recover_ = false;
}

long TSDSVCSmartCardSlotPCSC::ReaderStatus(void* record) {
  SCARD_READERSTATE& state = *static_cast<SCARD_READERSTATE*>(record);
  std::memset(&state, 0, sizeof state);
  state.szReader = Name().CStr();
  state.dwCurrentState = SCARD_STATE_UNAWARE;
  return pcsc::Load().GetStatusChange(context_, 0, &state, 1);
}

int TSDSVCSmartCardSlotPCSC::GetAttribute(uint16_t id, void* out, int size) {
  uint32_t value = 0;
  switch (id) {
    case AttributeProtocol:
      value = (protocol_ & SCARD_PROTOCOL_T1) ? 2 : ((protocol_ & SCARD_PROTOCOL_T0) ? 1 : 0);
      break;
    case AttributeFixed1:
    case AttributeFixed3:
      value = 1;
      break;
    case AttributeExchangeCount:
      value = exchangeCount_;
      break;
    case AttributeBytesReceived:
      value = bytesReceived_;
      break;
    case AttributeBytesSent:
      value = bytesSent_;
      break;
    default:
      return TSDSVCSmartCardSlot::GetAttribute(id, out, size);
  }
  if (out == nullptr || size != 4) QORX_RAISE(sd::kInvalidArgument, kUnit);
  std::memcpy(out, &value, sizeof value);
  return 4;
}

uint16_t TSDSVCSmartCardSlotPCSC::GetStatus(CardInfo* info) {
  if ((flags_ & SlotOpen) == 0) return flags_;
  const pcsc::Functions& lib = pcsc::Load();

  // A status query changes nothing on the card: after the service came back it is asked
  // once more through a new context, unless a transaction of ours died with the service
  // (the operation it belonged to fails, and the next call starts afresh).
  bool recovered = fresh_;
  if (recover_) {
    Recover();
    recovered = true;
  }
  // A connected handle answers for itself: pcsc-lite fails SCardStatus for a card that was
  // removed, reset or lost with the service since the connection. Only then, or with no card
  // connected (presence, a mute card), is the reader's state asked for too: that query is two
  // more pcscd round trips in every card operation.
  SCARD_READERSTATE state;
  DWORD atrLength = 0;
  LONG handleResult = SCARD_S_SUCCESS;
  const bool handleAsked = (flags_ & CardConnected) != 0 && !recover_ && card_ != 0;
  if (handleAsked) {
    DWORD cardState = 0;
    DWORD protocol = 0;
    handleResult = WhileShared([&] {
      atrLength = sizeof state.rgbAtr;
      return lib.Status(card_, nullptr, nullptr, &cardState, &protocol, state.rgbAtr, &atrLength);
    });
    if (handleResult == SCARD_S_SUCCESS && (cardState & SCARD_PRESENT) != 0) {
      flags_ &= static_cast<uint16_t>(~CardMute);
      flags_ |= CardPresent | CardInReader;
      CopyAtr(state.rgbAtr, atrLength, info);
      return flags_;
    }
  }
  LONG rv = ReaderStatus(&state);
  if (MeansServiceGone(rv)) {
    const bool held = transaction_;
    ServiceLost();
    if (!held && !recovered) {
      Recover();
      rv = ReaderStatus(&state);
      if (MeansServiceGone(rv)) ServiceLost();
    }
  }
  pcsc::CheckPCSCResult(rv, "SCardGetStatusChange()", true);

  flags_ &= static_cast<uint16_t>(~(CardPresent | CardInReader | CardMute));
  if (state.dwEventState & SCARD_STATE_MUTE) {
    flags_ &= static_cast<uint16_t>(~CardConnected);
    flags_ |= CardMute;
  }

  // The whole ATR area is offered (not the length the status change reported), and whatever
  // length comes back is cut to the area: a library reporting more cannot make us read on.
  if (flags_ & CardConnected) {
    DWORD cardState = 0;
    DWORD protocol = 0;
    // The handle's own answer from above stands: asking again could hide a lost connection.
    rv = handleAsked ? handleResult : WhileShared([&] {
      atrLength = sizeof state.rgbAtr;
      return lib.Status(card_, nullptr, nullptr, &cardState, &protocol, state.rgbAtr, &atrLength);
    });
    // Another application's transaction kept us out for longer than we wait: that says
    // nothing about our connection, and the caller gets the status.
    if (IsSharingViolation(rv)) pcsc::CheckPCSCResult(rv, "SCardStatus()", true);
    if (MeansServiceGone(rv)) ServiceLost();
    if (!pcsc::CheckPCSCResult(rv, "SCardStatus()", false)) {
      flags_ &= static_cast<uint16_t>(~CardConnected);
      flags_ |= CardLost;
      atrLength = 0;
    }
  }

  if (state.dwEventState & SCARD_STATE_PRESENT) {
    if (flags_ & CardConnected) CopyAtr(state.rgbAtr, atrLength, info);
    flags_ |= CardPresent | CardInReader;
  } else if (flags_ & CardConnected) {
    flags_ &= static_cast<uint16_t>(~CardConnected);
    flags_ |= CardLost;
  }
  return flags_;
}

int TSDSVCSmartCardSlotPCSC::ConnectFresh() {
  const pcsc::Functions& lib = pcsc::Load();
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  LONG rv = lib.Connect(context_, Name().CStr(), SCARD_SHARE_SHARED, kPreferredProtocols, &card,
                        &protocol);
  int result = pcsc::CheckPCSCResult(rv, "SCardConnect()", false);
  if (result) {
    card_ = card;
    protocol_ = protocol;
  }
  return result;
}

int TSDSVCSmartCardSlotPCSC::ManageConnect(int action, bool raise) {
  int result = 0;
  switch (action) {
    case ActionRelease:
    case ActionEject:
      if (card_ == 0) {
        result = 1;
      } else {
        result = pcsc::CheckPCSCResult(pcsc::Load().Disconnect(card_, SCARD_EJECT_CARD),
                                       "SCardDisconnect()", false);
        card_ = 0;
      }
      break;
    case ActionConnect:
    case ActionConnectReset:
      if (card_ == 0) {
        result = ConnectFresh();
      } else {
        const pcsc::Functions& lib = pcsc::Load();
        DWORD protocol = 0;
        DWORD init = action == ActionConnect ? SCARD_LEAVE_CARD : SCARD_RESET_CARD;
        result = pcsc::CheckPCSCResult(
            lib.Reconnect(card_, SCARD_SHARE_SHARED, kPreferredProtocols, init, &protocol),
            "SCardReConnect()", false);
        if (result) {
          protocol_ = protocol;
        } else {
          // A handle that outlived its card (removed and put back) is refused for good;
          // reconnecting it again would report a mute card forever. Give it back and connect
          // afresh instead.
          lib.Disconnect(card_, SCARD_LEAVE_CARD);
          card_ = 0;
          result = ConnectFresh();
        }
      }
      break;
    default:
      break;
  }
  if (result == 0 && raise) QORX_RAISEF(sd::kExternal, kUnit, "ManageConnect(): Failed )");
  return result;
}

int TSDSVCSmartCardSlotPCSC::CardAction(int code) {
  switch (code) {
    case ActionNone:
      return 0;
    case ActionRelease:
      flags_ = 0;
      return ManageConnect(ActionRelease, false);
    case ActionReopen:
      if (flags_ & SlotOpen) return 0;
      flags_ = SlotOpen;
      return 1;
    default:
      break;
  }

  // Every card operation polls the card before it begins its transaction, and ends it after
  // its last command: asking pcscd for the status again around the bracket cost four round
  // trips per operation, more than a third of a signature. A begin that fails because the
  // card went away refreshes the status, as a transmit does.
  const bool bracket = code == ActionBeginTransaction || code == ActionEndTransaction;
  if (((bracket ? flags_ : GetStatus(nullptr)) & SlotOpen) == 0) QORX_RAISE(sd::kWrongState, kUnit);

  constexpr uint16_t kConnectionBits = CardMute | CardConnected | CardLost;
  switch (code) {
    case ActionConnect:
    case ActionConnectReset:
      flags_ &= static_cast<uint16_t>(~kConnectionBits);
      if ((flags_ & CardPresent) == 0) return flags_;
      flags_ |= ManageConnect(code, false) ? CardConnected : CardMute;
      return 1;
    case ActionDropConnection:
      flags_ &= static_cast<uint16_t>(~kConnectionBits);
      return 1;
    case ActionEject:
      flags_ &= static_cast<uint16_t>(~(CardConnected | SlotOpen));
      ManageConnect(ActionEject, true);
      flags_ = SlotOpen;
      return 1;
    case ActionBeginTransaction: {
      const pcsc::Functions& lib = pcsc::Load();
      const LONG rv = WhileShared([&] { return lib.BeginTransaction(card_); });
      // Still held by another application after our wait: the operation must not go on as
      // if the card were ours, so this failure is raised.
      if (IsSharingViolation(rv)) pcsc::CheckPCSCResult(rv, "SCardBeginTransaction()", true);
      if (MeansServiceGone(rv) && card_ != 0) ServiceLost();
      if (rv != SCARD_S_SUCCESS && MeansCardGone(rv)) GetStatus(nullptr);
      transaction_ = rv == SCARD_S_SUCCESS;
      return pcsc::CheckPCSCResult(rv, "SCardBeginTransaction()", false);
    }
    case ActionEndTransaction: {
      transaction_ = false;
      // After a recovery there is no handle (nor a transaction) left to end, nor before one
      // that a lost service makes due.
      if (card_ == 0 || recover_) return 0;
      return pcsc::CheckPCSCResult(pcsc::Load().EndTransaction(card_, SCARD_LEAVE_CARD),
                                   "SCardEndTransaction()", false);
    }
    default:
      QORX_RAISE(sd::kInvalidArgument, kUnit);
  }
}

uint32_t TSDSVCSmartCardSlotPCSC::Exchange(const void* pci, const uint8_t* send, uint32_t length,
                                           uint8_t* receive) {
  const pcsc::Functions& lib = pcsc::Load();
  DWORD received = kReceiveCapacity;
  LONG rv = WhileShared([&] {
    received = kReceiveCapacity;
    return lib.Transmit(card_, static_cast<const SCARD_IO_REQUEST*>(pci), send, length, nullptr,
                        receive, &received);
  });
  // The command under way fails with its status; the card counts as removed, so the next
  // call identifies it afresh through a new context.
  if (MeansServiceGone(rv)) {
    ServiceLost();
    pcsc::CheckPCSCResult(rv, "SCardTransmit()", true);
  }
  // Transmit trusts the connection state of the last status query instead of asking pcscd
  // again before every command (two round trips, more than the exchange itself). When the
  // card turns out to be gone, the refreshed status reports it as that query would have.
  if (rv != SCARD_S_SUCCESS && MeansCardGone(rv) && (GetStatus(nullptr) & CardConnected) == 0)
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

TSDSmartCardSlotPCSCFactory* TSDSmartCardSlotPCSCFactory::Instance() {
  static TSDSmartCardSlotPCSCFactory* instance = new TSDSmartCardSlotPCSCFactory();
  return instance;
}

int TSDSmartCardSlotPCSCFactory::EnumerateNames(char* buffer, int* size) {
  if (size == nullptr) QORX_RAISE(sd::kInvalidArgument, kUnit);
  AskPCSCNotToWait();
  const pcsc::Functions& lib = pcsc::Load();
  std::unique_ptr<ScopedContext> context(new ScopedContext(lib));

  DWORD length = 0;
  LONG rv = lib.ListReaders(context->Get(), nullptr, nullptr, &length);
  // The list changes nothing on the card: a service that went away under the context (a
  // restart between our two calls) is asked once more through a new one.
  if (MeansServiceGone(rv)) {
    context.reset();
    context.reset(new ScopedContext(lib));
    length = 0;
    rv = lib.ListReaders(context->Get(), nullptr, nullptr, &length);
  }
  int count = 0;
  // No readers: whatever the listing reported (pcsc-lite says SCARD_E_NO_READERS_AVAILABLE).
  if (length != 0) {
    pcsc::CheckPCSCResult(rv, "SCardListReaders()", true);
    if (length > static_cast<DWORD>(kMaxReaderList)) QORX_RAISE(sd::kLength, kUnit);
    TSDByteArray names(static_cast<int32_t>(length));
    DWORD filled = length;
    pcsc::CheckPCSCResult(lib.ListReaders(context->Get(), nullptr,
                                          reinterpret_cast<char*>(names.WritableData()), &filled),
                          "SCardListReaders()", true);
    // The list may have shrunk since the first call; it may not have grown past our buffer.
    if (filled > length) QORX_RAISE(sd::kMalformed, kUnit);
    length = filled;
    count = CountNames(names.Data(), length);
    if (buffer != nullptr) {
      if (*size < 0 || length > static_cast<DWORD>(*size)) QORX_RAISE(sd::kLength, kUnit);
      std::memcpy(buffer, names.Data(), length);
    }
  }
  *size = static_cast<int>(length);
  return count;
}

TSDSVCSmartCardSlotPCSC* TSDSmartCardSlotPCSCFactory::CreateService(const char* name) {
  return new TSDSVCSmartCardSlotPCSC(name);
}

}  // namespace qorx
