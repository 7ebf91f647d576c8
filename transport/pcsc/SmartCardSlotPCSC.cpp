// The PC/SC slot's connection: its context, the card connection and following the card's
// status, the transaction bracket. The commands are in SmartCardSlotPCSCTransmit.cpp, the
// reader list and factory in SmartCardSlotPCSCFactory.cpp.
#include "transport/pcsc/SmartCardSlotPCSC.h"

#include <cstring>
#include <type_traits>

#include "core/Exceptions.h"
#include "transport/pcsc/PCSCLibrary.h"
#include "transport/pcsc/SlotResults.h"

namespace qorx {
namespace {

static_assert(std::is_same<SCARDCONTEXT, long>::value, "context handle type");
static_assert(std::is_same<SCARDHANDLE, long>::value, "card handle type");
static_assert(std::is_same<DWORD, unsigned long>::value, "DWORD type");

constexpr const char* kUnit = unit::kSmartCardSlotPCSC;

// pcsc-lite knows no raw protocol bit for shared connections to a card; asking for its RAW
// protocol could leave the card in a mode Transmit refuses, so connect and reconnect both
// offer T=0 and T=1.
constexpr DWORD kPreferredProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;

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
    pcsc::AskPCSCNotToWait();
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
    handleResult = pcsc::WhileShared([&] {
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
  if (pcsc::MeansServiceGone(rv)) {
    const bool held = transaction_;
    ServiceLost();
    if (!held && !recovered) {
      Recover();
      rv = ReaderStatus(&state);
      if (pcsc::MeansServiceGone(rv)) ServiceLost();
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
    rv = handleAsked ? handleResult : pcsc::WhileShared([&] {
      atrLength = sizeof state.rgbAtr;
      return lib.Status(card_, nullptr, nullptr, &cardState, &protocol, state.rgbAtr, &atrLength);
    });
    // Another application's transaction kept us out for longer than we wait: that says
    // nothing about our connection, and the caller gets the status.
    if (pcsc::IsSharingViolation(rv)) pcsc::CheckPCSCResult(rv, "SCardStatus()", true);
    if (pcsc::MeansServiceGone(rv)) ServiceLost();
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
      const LONG rv = pcsc::WhileShared([&] { return lib.BeginTransaction(card_); });
      // Still held by another application after our wait: the operation must not go on as
      // if the card were ours, so this failure is raised.
      if (pcsc::IsSharingViolation(rv)) pcsc::CheckPCSCResult(rv, "SCardBeginTransaction()", true);
      if (pcsc::MeansServiceGone(rv) && card_ != 0) ServiceLost();
      if (rv != SCARD_S_SUCCESS && pcsc::MeansCardGone(rv)) GetStatus(nullptr);
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

}  // namespace qorx
