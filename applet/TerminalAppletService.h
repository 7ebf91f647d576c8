#pragma once

#include <cstdint>
#include <memory>

#include "core/ByteArray.h"
#include "core/Objects.h"
#include "transport/APDU.h"
#include "transport/BaseServices.h"
#include "transport/pcsc/SmartCardSlot.h"

namespace qorx {

// Private to the library (transport/TLV.h); the installed headers only name it.
class TSDTLV;

// An application identifier as the card application keeps it: a length byte (1 to 16) and
// the AID bytes; bytes after the AID are carried along but never compared.
struct ApplicationId {
  static constexpr int kMaxAid = 16;
  uint8_t length;
  uint8_t aid[kMaxAid];
};
static_assert(sizeof(ApplicationId) == 17, "ApplicationId is a 17-byte record");

// The terminal side of the card application: the reader list, one open reader at a time,
// following the card in it, selecting applications (with a one-entry cache of the last
// selection) and the single command path every card operation uses.
//
// Failures that callers see are EAPSExceptions with an empty message; slot failures pass
// through as ESDExceptions, except where Open maps them. The concrete card application
// implements the four hooks to reset and rebuild its card-derived state.
class TSDBaseTerminalAppletService : public TSDBaseService {
 public:
  static constexpr const char* kServiceName = "TerminalAppletService";

  // `factory` makes the slots (normally TSDSmartCardSlotPCSCFactory::Instance()); it is not
  // owned and must outlive the service.
  explicit TSDBaseTerminalAppletService(TSDBaseServiceFactory* factory);
  // Gives back an open slot (and with it the PC/SC context) without calling any hook: a
  // concrete service that wants ReaderClosing to run closes in its own destructor.
  ~TSDBaseTerminalAppletService() override;
  TSDBaseTerminalAppletService(const TSDBaseTerminalAppletService&) = delete;
  TSDBaseTerminalAppletService& operator=(const TSDBaseTerminalAppletService&) = delete;

  // Reader names as PC/SC lists them, read afresh; an enumeration failure leaves the list
  // empty and is not reported.
  int GetReaderCount();
  // A copy of name `index`: 0x0300 when there are no readers, 0x0902 for a bad index.
  TSDByteArray GetReaderName(int index);

  // Opens `reader`; null, "" or "DEFAULT" mean the first listed reader (when the listed one
  // cannot be opened, the first of a list read again, if that is another). Raises 0x0A00 when a
  // reader is open, 0x0300 when the default is asked for and none is listed, 0x0101 when no
  // slot can be made, and for a failing slot 0x0200 (PC/SC missing), 0x0201 (PC/SC
  // incomplete) or 0x0301. A failed Open leaves the service closed and the reader list to be
  // read again. Does not connect.
  void Open(const char* reader) override;
  // Closes the open reader (0x0A01 when none is open, which also forgets the reader list).
  // The service is closed afterwards even when the ReaderClosing hook raises.
  void Close() override;

  // Name of the open reader (0x0A02 when none is open).
  TSDByteArray GetActiveReader() const;
  // The ATR of the card as taken at connection: 0x0A02 with no open reader, 0x0A03 with no
  // card present. A mute card has length 0.
  void GetCardInfo(CardInfo& out) const;
  // Follows the card: reports removal (hook CardRemoved) and connects a newly seen card
  // (hook CardInserted). 0x0A02 when no reader is open; hook failures pass through.
  void PollCard();

  // SELECT by name. Unless `force` is set, an AID equal to the cached last selection sends
  // nothing and `out` becomes an empty element. Otherwise `out` takes the response data (the
  // FCI, unparsed). 6283 raises 0x0501, any other word but 9000 raises 0x0500; the cache is
  // unchanged by failures. An AID length outside 1-16 raises ESDException 0xC100.
  void SelectApplication(TSDTLV& out, const ApplicationId& aid, int force);

  // Transmits `apdu` through the open slot and returns the status word; on 9000 `out` takes
  // the response data, otherwise it is untouched. Status words are never raised.
  uint16_t Exchange(TSDAPDU& apdu, TSDByteArray& out);
  // Builds the command (Le 256 is sent as 00, Le 0 means none) and runs Exchange. Command
  // data longer than 255 bytes raises ESDException 0xC400, Le outside 0-256 0xC100.
  uint16_t SendCommand(int cla, int ins, int p1, int p2, const TSDByteArray& data, int le,
                       TSDByteArray& out);

  // The open reader's slot (null while closed), for the transaction bracket of card
  // dialogues (CardAction 9 and 10). Owned by the service.
  TSDSVCSmartCardSlot* Slot() const noexcept { return slot_.get(); }
  // Card presence as last seen by PollCard.
  bool IsCardPresent() const noexcept { return cardPresent_ != 0; }

 protected:
  virtual void ReaderOpened() = 0;
  virtual void ReaderClosing() = 0;
  // After connecting to a newly seen card: `mute` 1 when it did not answer, 0 when connected.
  virtual void CardInserted(int mute) = 0;
  virtual void CardRemoved() = 0;

 private:
  void RefreshReaderList() noexcept;
  void OpenNamed(const TSDByteArray& name);
  void ForgetSelection() noexcept;
  void ForgetCard() noexcept;
  void RequireSlot() const;
  void ReleaseReader();

  TSDBaseServiceFactory* factory_;
  std::unique_ptr<TSDSVCSmartCardSlot> slot_;
  TSDByteArray activeReader_;
  TSDObjectArray readers_;  // QorXString
  CardInfo cardInfo_;
  int32_t cardPresent_ = 0;
  ApplicationId selected_;
};

}  // namespace qorx
