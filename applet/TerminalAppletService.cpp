#include "applet/TerminalAppletService.h"

#include <cstring>
#include <utility>

#include "core/Exceptions.h"
#include "core/Wipe.h"
#include "transport/TLV.h"

namespace qorx {
namespace {

constexpr const char* kUnit = unit::kTerminalAppletServices;

[[noreturn]] void RaiseStatus(int32_t code) {
  throw EAPSException(code);
}

bool IsDefaultReader(const char* reader) {
  return reader == nullptr || *reader == '\0' || std::strcmp(reader, "DEFAULT") == 0;
}

}  // namespace

TSDBaseTerminalAppletService::TSDBaseTerminalAppletService(TSDBaseServiceFactory* factory)
    : TSDBaseService(kServiceName), factory_(factory), activeReader_(TSDByteArray::EmptyText()) {
  ForgetCard();
  ForgetSelection();
}

TSDBaseTerminalAppletService::~TSDBaseTerminalAppletService() {
  slot_.reset();
  SecureWipe(&cardInfo_, sizeof cardInfo_);
}

void TSDBaseTerminalAppletService::ForgetSelection() noexcept {
  std::memset(&selected_, 0, sizeof selected_);
}

void TSDBaseTerminalAppletService::ForgetCard() noexcept {
  SecureWipe(&cardInfo_, sizeof cardInfo_);
  cardPresent_ = 0;
}

void TSDBaseTerminalAppletService::RequireSlot() const {
  if (!slot_) RaiseStatus(aps::kNoReaderOpen);
}

void TSDBaseTerminalAppletService::RefreshReaderList() noexcept {
  try {
    readers_.Clear();
    if (factory_ == nullptr) return;
    factory_->StartEnumeration();
    for (;;) {
      TSDByteArray name = factory_->NextName();
      if (name.CStr()[0] == '\0') break;
      readers_.Add(new QorXString(name.CStr()));
    }
  } catch (...) {
    // No readers is what callers see of a PC/SC that cannot list them.
    readers_.Clear();
  }
}

int TSDBaseTerminalAppletService::GetReaderCount() {
  // Asking for the count is asking for the list afresh: readers come and go, and the names
  // that GetReaderName hands out next are those of this count.
  RefreshReaderList();
  return readers_.Count();
}

TSDByteArray TSDBaseTerminalAppletService::GetReaderName(int index) {
  if (readers_.Count() <= 0) RefreshReaderList();
  if (readers_.Count() <= 0) RaiseStatus(aps::kNoReader);
  if (index < 0 || index >= readers_.Count()) RaiseStatus(aps::kReaderIndexOutOfRange);
  return static_cast<const QorXString*>(readers_.At(index))->Text();
}

void TSDBaseTerminalAppletService::Open(const char* reader) {
  if (slot_) RaiseStatus(aps::kReaderAlreadyOpen);
  if (!IsDefaultReader(reader)) {
    OpenNamed(TSDByteArray(reader));
    return;
  }
  TSDByteArray name = GetReaderName(0);
  try {
    OpenNamed(name);
  } catch (const EAPSException&) {
    // The first reader of a list read earlier may have been unplugged since: the list read
    // now names the default reader, tried once more when it is another one.
    RefreshReaderList();
    if (readers_.Count() <= 0 || static_cast<const QorXString*>(readers_.At(0))->Text() == name)
      throw;
    OpenNamed(GetReaderName(0));
  }
}

void TSDBaseTerminalAppletService::OpenNamed(const TSDByteArray& name) {
  // A reader that cannot be opened may have gone: the list is read again when next needed.
  struct ForgetListOnFailure {
    TSDObjectArray& readers;
    bool opened = false;
    ~ForgetListOnFailure() {
      if (!opened) readers.Clear();
    }
  } guard{readers_};

  std::unique_ptr<TSDSVCSmartCardSlot> slot;
  try {
    std::unique_ptr<TSDBaseService> service(
        factory_ != nullptr ? factory_->CreateService(name.CStr()) : nullptr);
    slot.reset(dynamic_cast<TSDSVCSmartCardSlot*>(service.get()));
    if (!slot) RaiseStatus(aps::kCannotServe);  // `service` (not a slot) goes with the throw
    service.release();
    slot->Open("");
  } catch (const ESDException& e) {
    switch (e.Code()) {
      case sd::kPcscLibraryMissing:
        RaiseStatus(aps::kPcscMissing);
      case sd::kPcscEntryMissing:
        RaiseStatus(aps::kPcscIncomplete);
      default:
        RaiseStatus(aps::kReaderOpenFailed);
    }
  }

  slot_ = std::move(slot);
  guard.opened = true;
  activeReader_ = name;
  ForgetSelection();
  // A card seen in an earlier session is not this session's card until PollCard says so.
  ForgetCard();
  ReaderOpened();
}

void TSDBaseTerminalAppletService::Close() {
  if (!slot_) {
    // A page closing a reader it thinks open may be looking at names of readers since gone.
    readers_.Clear();
    RaiseStatus(aps::kNoReaderToClose);
  }
  try {
    ReaderClosing();
  } catch (...) {
    ReleaseReader();
    throw;
  }
  ReleaseReader();
}

void TSDBaseTerminalAppletService::ReleaseReader() {
  slot_.reset();  // the slot's destructor disconnects and releases its context
  ForgetSelection();
  ForgetCard();
  activeReader_ = TSDByteArray::EmptyText();
  readers_.Clear();
}

TSDByteArray TSDBaseTerminalAppletService::GetActiveReader() const {
  RequireSlot();
  return activeReader_;
}

void TSDBaseTerminalAppletService::GetCardInfo(CardInfo& out) const {
  RequireSlot();
  if (cardPresent_ == 0) RaiseStatus(aps::kNoCard);
  std::memcpy(&out, &cardInfo_, sizeof out);
}

void TSDBaseTerminalAppletService::PollCard() {
  using S = TSDSVCSmartCardSlot;
  RequireSlot();
  uint16_t flags = slot_->GetStatus(nullptr);

  // Gone or unusable: whatever was known of the card no longer holds.
  if ((flags & (S::CardMute | S::CardLost)) != 0 ||
      ((flags & S::CardPresent) == 0 && cardPresent_ == 1)) {
    ForgetSelection();
    CardRemoved();
    cardPresent_ = 0;
    slot_->CardAction(S::ActionDropConnection);
  }

  cardPresent_ = (flags & S::CardPresent) != 0 ? 1 : 0;
  if (cardPresent_ == 0 || (flags & S::CardConnected) != 0) return;

  // A card is present and not connected. The record is cleared first so that a connection
  // that fails leaves no earlier card's ATR behind.
  SecureWipe(&cardInfo_, sizeof cardInfo_);
  slot_->CardAction(S::ActionConnect);
  uint16_t connected = slot_->GetStatus(&cardInfo_);
  if (connected & S::CardMute) {
    SecureWipe(&cardInfo_, sizeof cardInfo_);
    CardInserted(1);
  }
  if (connected & S::CardConnected) CardInserted(0);
}

void TSDBaseTerminalAppletService::SelectApplication(TSDTLV& out, const ApplicationId& aid,
                                                     int force) {
  // The length byte decides how much is compared and sent; a zero length would also match
  // the empty cache.
  if (aid.length == 0 || aid.length > ApplicationId::kMaxAid)
    QORX_RAISE(sd::kInvalidArgument, kUnit);

  if (force == 0 && selected_.length == aid.length &&
      std::memcmp(selected_.aid, aid.aid, aid.length) == 0) {
    out = TSDTLV();
    return;
  }

  TSDByteArray response;
  uint16_t sw =
      SendCommand(0x00, 0xA4, 0x04, 0x00, TSDByteArray(aid.aid, aid.length), 256, response);
  if (sw == 0x6283) RaiseStatus(aps::kSelectInvalidated);
  if (sw != 0x9000) RaiseStatus(aps::kSelectFailed);
  std::memcpy(&selected_, &aid, sizeof selected_);
  out = TSDTLV(response);
}

uint16_t TSDBaseTerminalAppletService::Exchange(TSDAPDU& apdu, TSDByteArray& out) {
  RequireSlot();
  slot_->Transmit(apdu);
  uint16_t sw = apdu.StatusWord();
  if (sw != 0x9000) return sw;
  out = TSDByteArray(apdu.DataAt(0), apdu.GetLength(TSDAPDU::kBytes) - 2);
  return sw;
}

uint16_t TSDBaseTerminalAppletService::SendCommand(int cla, int ins, int p1, int p2,
                                                   const TSDByteArray& data, int le,
                                                   TSDByteArray& out) {
  // A short command carries at most 255 data bytes and asks for at most 256.
  if (data.Length() > 255) QORX_RAISE(sd::kLength, kUnit);
  if (le < 0 || le > 256) QORX_RAISE(sd::kInvalidArgument, kUnit);
  TSDAPDU apdu(cla, ins, p1, p2, data, le);
  return Exchange(apdu, out);
}

}  // namespace qorx
