// The terminal applet service over the real PC/SC slot and the fake PC/SC library.

#include <PCSC/winscard.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "applet/TerminalAppletService.h"
#include "core/StatusCodes.h"
#include "tests/support/TestSupport.h"
#include "tests/transport/pcsc/FakePCSC.h"
#include "transport/TLV.h"
#include "transport/pcsc/SmartCardSlotPCSC.h"

namespace qorx {
namespace {

using test::BytesOf;
using test::StatusOf;

using testing::CatchSD;
using testing::Fake;
using testing::UsePCSCLibrary;
using Bytes = std::vector<unsigned char>;

const std::string kReaders("Reader A\0Reader B\0\0", 19);
const Bytes kAtr = {0x3B, 0x65, 0x00, 0x00, 0x9C, 0x11, 0x01, 0x01, 0x03};
const Bytes kOk = {0x90, 0x00};

ApplicationId Aid(const Bytes& bytes) {
  ApplicationId id;
  std::memset(&id, 0, sizeof id);
  id.length = static_cast<uint8_t>(bytes.size());
  std::memcpy(id.aid, bytes.data(), bytes.size());
  return id;
}
const ApplicationId kBank = Aid({0xA0, 0x00, 0x00, 0x09, 0x51, 0x10, 0x01});
const ApplicationId kOther = Aid({0xA0, 0x00, 0x00, 0x00, 0x03, 0x10, 0x10});

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Records the hooks; a test may make CardInserted raise.
class RecordingService : public TSDBaseTerminalAppletService {
 public:
  explicit RecordingService(TSDBaseServiceFactory* factory)
      : TSDBaseTerminalAppletService(factory) {}
  ~RecordingService() override {
    if (Slot() != nullptr) {
      try {
        Close();
      } catch (...) {
      }
    }
  }

  std::vector<std::string> events;
  std::function<void(int)> onInserted;

 protected:
  void ReaderOpened() override { events.push_back("opened"); }
  void ReaderClosing() override { events.push_back("closing"); }
  void CardInserted(int mute) override {
    events.push_back(mute ? "inserted mute" : "inserted");
    if (onInserted) onInserted(mute);
  }
  void CardRemoved() override { events.push_back("removed"); }
};

class TerminalAppletServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Fake().Loaded());
    UsePCSCLibrary(QORX_FAKE_PCSC_PATH);
    Fake().Reset();
    Fake().SetReaders(kReaders);
  }
  void TearDown() override {
    service_.reset();
    EXPECT_EQ(Fake().OpenContexts(), 0) << "context leaked";
    EXPECT_EQ(Fake().OpenCards(), 0) << "card handle leaked";
  }

  // Open on the first reader with a card connected and the hooks' record cleared.
  RecordingService& WithCard(unsigned long protocol = SCARD_PROTOCOL_T1) {
    Fake().SetProtocol(protocol);
    Fake().InsertCard(kAtr);
    service_->Open(nullptr);
    service_->PollCard();
    EXPECT_TRUE(service_->IsCardPresent());
    service_->events.clear();
    return *service_;
  }

  int SelectsSent() {
    int n = 0;
    for (int i = 0; i < Fake().SentCount(); ++i) {
      Bytes sent = Fake().Sent(i);
      if (sent.size() > 1 && sent[1] == 0xA4) ++n;
    }
    return n;
  }

  std::unique_ptr<RecordingService> service_{
      new RecordingService(TSDSmartCardSlotPCSCFactory::Instance())};
};

TEST_F(TerminalAppletServiceTest, IsNamedTerminalAppletService) {
  EXPECT_STREQ(service_->Name().CStr(), "TerminalAppletService");
}

TEST_F(TerminalAppletServiceTest, ReaderListIsReadByTheCountAndKeptForTheNames) {
  EXPECT_EQ(service_->GetReaderCount(), 2);
  const unsigned long listings = Fake().CallCount("SCardListReaders");
  EXPECT_STREQ(service_->GetReaderName(0).CStr(), "Reader A");
  EXPECT_STREQ(service_->GetReaderName(1).CStr(), "Reader B");
  EXPECT_EQ(StatusOf([&] { service_->GetReaderName(2); }), aps::kReaderIndexOutOfRange);
  EXPECT_EQ(StatusOf([&] { service_->GetReaderName(-1); }), aps::kReaderIndexOutOfRange);
  EXPECT_EQ(Fake().CallCount("SCardListReaders"), listings) << "names were listed again";

  // A reader attached later is seen by the next count.
  Fake().SetReaders(std::string("Reader A\0Reader B\0Reader C\0\0", 28));
  EXPECT_EQ(service_->GetReaderCount(), 3);
  EXPECT_STREQ(service_->GetReaderName(2).CStr(), "Reader C");
}

TEST_F(TerminalAppletServiceTest, EnumerationFailuresLeaveAnEmptyListSilently) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
  };
  const Case cases[] = {
      {"PC/SC library missing", [] { UsePCSCLibrary("/nonexistent/libpcsclite.so.1"); }},
      {"PC/SC entry point missing", [] { UsePCSCLibrary(QORX_FAKE_PCSC_NO_END_PATH); }},
      {"service not running",
       [] { Fake().SetDefaultResult("SCardEstablishContext", SCARD_E_NO_SERVICE); }},
      {"malformed list", [] { Fake().SetReaders(std::string("Reader A", 8)); }},
      {"no readers", [] { Fake().SetReaders(""); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UsePCSCLibrary(QORX_FAKE_PCSC_PATH);
    Fake().Reset();
    Fake().SetReaders(kReaders);
    c.arrange();
    RecordingService service(TSDSmartCardSlotPCSCFactory::Instance());
    EXPECT_EQ(service.GetReaderCount(), 0);
    EXPECT_EQ(StatusOf([&] { service.GetReaderName(0); }), aps::kNoReader);
    EXPECT_EQ(StatusOf([&] { service.Open(nullptr); }), aps::kNoReader);
    EXPECT_EQ(service.Slot(), nullptr);
  }
}

TEST_F(TerminalAppletServiceTest, DefaultReaderIsTheFirstListed) {
  const char* defaults[] = {nullptr, "", "DEFAULT"};
  for (const char* name : defaults) {
    SCOPED_TRACE(name == nullptr ? "null" : name);
    service_->Open(name);
    EXPECT_STREQ(service_->GetActiveReader().CStr(), "Reader A");
    EXPECT_STREQ(service_->Slot()->Name().CStr(), "Reader A");
    service_->Close();
  }
  // Case matters: "default" is a reader name like any other, listed or not.
  service_->Open("default");
  EXPECT_STREQ(service_->GetActiveReader().CStr(), "default");
  EXPECT_EQ(service_->events, std::vector<std::string>({"opened", "closing", "opened", "closing",
                                                        "opened", "closing", "opened"}));
}

TEST_F(TerminalAppletServiceTest, SecondOpenIsRefusedAndKeepsTheFirstReader) {
  service_->Open("Reader A");
  EXPECT_EQ(StatusOf([&] { service_->Open("Reader B"); }), aps::kReaderAlreadyOpen);
  EXPECT_STREQ(service_->GetActiveReader().CStr(), "Reader A");
  EXPECT_EQ(Fake().OpenContexts(), 1);
}

TEST_F(TerminalAppletServiceTest, FailedOpenMapsTheSlotFailureAndLeavesTheServiceClosed) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    int32_t status;
  };
  const Case cases[] = {
      {"library missing", [] { UsePCSCLibrary("/nonexistent/libpcsclite.so.1"); },
       aps::kPcscMissing},
      {"entry point missing", [] { UsePCSCLibrary(QORX_FAKE_PCSC_NO_END_PATH); },
       aps::kPcscIncomplete},
      {"context refused", [] { Fake().QueueResult("SCardEstablishContext", SCARD_E_NO_SERVICE); },
       aps::kReaderOpenFailed},
      {"status refused", [] { Fake().QueueResult("SCardGetStatusChange", SCARD_E_UNKNOWN_READER); },
       aps::kReaderOpenFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UsePCSCLibrary(QORX_FAKE_PCSC_PATH);
    Fake().Reset();
    c.arrange();
    RecordingService service(TSDSmartCardSlotPCSCFactory::Instance());
    EXPECT_EQ(StatusOf([&] { service.Open("Reader A"); }), c.status);
    EXPECT_EQ(service.Slot(), nullptr);
    EXPECT_EQ(StatusOf([&] { service.GetActiveReader(); }), aps::kNoReaderOpen);
    EXPECT_TRUE(service.events.empty());
    EXPECT_EQ(Fake().OpenContexts(), 0);

    // The next attempt starts afresh.
    UsePCSCLibrary(QORX_FAKE_PCSC_PATH);
    service.Open("Reader A");
    EXPECT_STREQ(service.GetActiveReader().CStr(), "Reader A");
  }
}

// A factory that cannot serve: no service, or one that is not a slot.
class RefusingFactory : public TSDBaseServiceFactory {
 public:
  explicit RefusingFactory(bool giveWrongKind)
      : TSDBaseServiceFactory("Refusing"), giveWrongKind_(giveWrongKind) {}
  int EnumerateNames(char*, int* size) override {
    *size = 0;
    return 0;
  }
  TSDBaseService* CreateService(const char* name) override {
    return giveWrongKind_ ? new TSDBaseService(name) : nullptr;
  }

 private:
  bool giveWrongKind_;
};

TEST_F(TerminalAppletServiceTest, FactoryWithoutASlotGives0101) {
  for (bool wrongKind : {false, true}) {
    RefusingFactory factory(wrongKind);
    RecordingService service(&factory);
    EXPECT_EQ(StatusOf([&] { service.Open("Reader A"); }), aps::kCannotServe);
    EXPECT_EQ(service.Slot(), nullptr);
  }
  RecordingService orphan(nullptr);
  EXPECT_EQ(orphan.GetReaderCount(), 0);
  EXPECT_EQ(StatusOf([&] { orphan.Open("Reader A"); }), aps::kCannotServe);
}

TEST_F(TerminalAppletServiceTest, OperationsThatNeedAnOpenReader) {
  CardInfo info;
  TSDByteArray out;
  TSDAPDU apdu(0x00, 0xB0, 0, 0, 0, nullptr, 1);
  EXPECT_EQ(StatusOf([&] { service_->Close(); }), aps::kNoReaderToClose);
  EXPECT_EQ(StatusOf([&] { service_->GetActiveReader(); }), aps::kNoReaderOpen);
  EXPECT_EQ(StatusOf([&] { service_->GetCardInfo(info); }), aps::kNoReaderOpen);
  EXPECT_EQ(StatusOf([&] { service_->PollCard(); }), aps::kNoReaderOpen);
  EXPECT_EQ(StatusOf([&] { service_->Exchange(apdu, out); }), aps::kNoReaderOpen);

  service_->Open(nullptr);
  service_->Close();
  EXPECT_EQ(StatusOf([&] { service_->Close(); }), aps::kNoReaderToClose);
  EXPECT_EQ(service_->Slot(), nullptr);
}

TEST_F(TerminalAppletServiceTest, CardInfoNeedsACardSeenByPollCard) {
  Fake().InsertCard(kAtr);
  service_->Open(nullptr);
  CardInfo info;
  EXPECT_EQ(StatusOf([&] { service_->GetCardInfo(info); }), aps::kNoCard);
  service_->PollCard();
  std::memset(&info, 0xAA, sizeof info);
  service_->GetCardInfo(info);
  ASSERT_EQ(info.length, kAtr.size());
  EXPECT_EQ(Bytes(info.atr, info.atr + info.length), kAtr);
  for (size_t i = kAtr.size(); i < sizeof info.atr; ++i) EXPECT_EQ(info.atr[i], 0);
}

TEST_F(TerminalAppletServiceTest, PollCardFollowsInsertionAndRemoval) {
  service_->Open(nullptr);
  service_->PollCard();
  EXPECT_FALSE(service_->IsCardPresent());

  Fake().InsertCard(kAtr);
  service_->PollCard();
  service_->PollCard();  // nothing new: no second connect, no second hook
  EXPECT_TRUE(service_->IsCardPresent());
  EXPECT_EQ(Fake().CallCount("SCardConnect"), 1ul);

  Fake().RemoveCard();
  service_->PollCard();
  EXPECT_FALSE(service_->IsCardPresent());
  CardInfo info;
  EXPECT_EQ(StatusOf([&] { service_->GetCardInfo(info); }), aps::kNoCard);

  Fake().InsertCard(kAtr);
  service_->PollCard();
  EXPECT_TRUE(service_->Slot()->Flags() & TSDSVCSmartCardSlot::CardConnected);
  EXPECT_EQ(service_->events,
            std::vector<std::string>({"opened", "inserted", "removed", "inserted"}));
}

TEST_F(TerminalAppletServiceTest, MuteCardIsPresentWithAnEmptyAtr) {
  Fake().InsertMuteCard();
  service_->Open(nullptr);
  service_->PollCard();
  EXPECT_TRUE(service_->IsCardPresent());
  CardInfo info;
  std::memset(&info, 0xAA, sizeof info);
  service_->GetCardInfo(info);
  EXPECT_EQ(info.length, 0);
  for (uint8_t b : info.atr) EXPECT_EQ(b, 0);
  // A mute reader state counts as the card going away, on every poll: it is dropped and
  // tried again.
  service_->PollCard();
  EXPECT_EQ(service_->events, std::vector<std::string>({"opened", "removed", "inserted mute",
                                                        "removed", "inserted mute"}));
}

TEST_F(TerminalAppletServiceTest, FailedConnectLeavesNoEarlierCardsAtr) {
  WithCard();
  Fake().RemoveCard();
  service_->PollCard();
  // The next card is present but refuses the connection without looking mute.
  Fake().InsertCard({0x3B, 0x00});
  Fake().QueueResult("SCardConnect", SCARD_E_SHARING_VIOLATION);
  service_->PollCard();
  ASSERT_TRUE(service_->IsCardPresent());
  CardInfo info;
  service_->GetCardInfo(info);
  EXPECT_EQ(info.length, 0);
}

TEST_F(TerminalAppletServiceTest, ReopeningForgetsTheCardOfTheLastSession) {
  WithCard();
  service_->Close();
  service_->Open(nullptr);
  CardInfo info;
  EXPECT_EQ(StatusOf([&] { service_->GetCardInfo(info); }), aps::kNoCard);
}

TEST_F(TerminalAppletServiceTest, HookFailuresLeavePollCard) {
  Fake().InsertCard(kAtr);
  service_->Open(nullptr);
  service_->onInserted = [](int) { throw EAPSException(aps::kSelectFailed); };
  EXPECT_EQ(StatusOf([&] { service_->PollCard(); }), aps::kSelectFailed);
}

TEST_F(TerminalAppletServiceTest, CloseReleasesTheSlotEvenWhenItsHookRaises) {
  class FailingClose : public RecordingService {
   public:
    using RecordingService::RecordingService;

   protected:
    void ReaderClosing() override { throw EAPSException(aps::kUnexpected); }
  };
  FailingClose service(TSDSmartCardSlotPCSCFactory::Instance());
  service.Open(nullptr);
  EXPECT_EQ(StatusOf([&] { service.Close(); }), aps::kUnexpected);
  EXPECT_EQ(service.Slot(), nullptr);
  EXPECT_EQ(Fake().OpenContexts(), 0);
}

TEST_F(TerminalAppletServiceTest, DestroyingAnOpenServiceReleasesPCSC) {
  WithCard();
  service_.reset();
  EXPECT_EQ(Fake().OpenContexts(), 0);
  EXPECT_EQ(Fake().OpenCards(), 0);
}

// ---- SELECT and the command path ----

TEST_F(TerminalAppletServiceTest, SelectSendsTheAidAndReturnsTheFci) {
  WithCard();
  const Bytes fci = {0x6F, 0x09, 0x84, 0x07, 0xA0, 0x00, 0x00, 0x09, 0x51, 0x10, 0x01};
  Fake().QueueResponse(Concat(fci, kOk));
  TSDTLV out;
  service_->SelectApplication(out, kBank, 0);
  ASSERT_EQ(Fake().SentCount(), 1);
  EXPECT_EQ(Fake().Sent(0),
            Bytes({0x00, 0xA4, 0x04, 0x00, 0x07, 0xA0, 0x00, 0x00, 0x09, 0x51, 0x10, 0x01, 0x00}));
  EXPECT_EQ(BytesOf(out.Encoding()), fci);
  EXPECT_EQ(out.Tag(), 0x6F);
}

TEST_F(TerminalAppletServiceTest, SelectCacheSparesRepeatsUntilTheCardMayHaveChanged) {
  WithCard();
  Fake().SetRepeatingResponse(kOk);
  TSDTLV out;
  service_->SelectApplication(out, kBank, 0);
  service_->SelectApplication(out, kBank, 0);
  EXPECT_EQ(SelectsSent(), 1);
  EXPECT_EQ(out.EncodingLength(), 0) << "a cache hit gives an empty element";

  // Bytes after the AID's length are not compared.
  ApplicationId sameWithTrailer = kBank;
  sameWithTrailer.aid[15] = 0x77;
  service_->SelectApplication(out, sameWithTrailer, 0);
  EXPECT_EQ(SelectsSent(), 1);

  service_->SelectApplication(out, kBank, 1);
  EXPECT_EQ(SelectsSent(), 2);
  service_->SelectApplication(out, kOther, 0);
  EXPECT_EQ(SelectsSent(), 3);
  service_->SelectApplication(out, kBank, 0);
  EXPECT_EQ(SelectsSent(), 4);

  // Removal seen by PollCard empties the cache.
  Fake().RemoveCard();
  service_->PollCard();
  Fake().InsertCard(kAtr);
  service_->PollCard();
  service_->SelectApplication(out, kBank, 0);
  EXPECT_EQ(SelectsSent(), 5);

  // So do Close and Open.
  service_->Close();
  service_->Open(nullptr);
  service_->PollCard();
  service_->SelectApplication(out, kBank, 0);
  EXPECT_EQ(SelectsSent(), 6);
}

TEST_F(TerminalAppletServiceTest, FailedSelectRaisesAndKeepsTheCache) {
  struct Case {
    const char* name;
    std::vector<Bytes> responses;
    int32_t status;
  };
  const Case cases[] = {
      {"6A82", {{0x6A, 0x82}}, aps::kSelectFailed},
      {"6283", {{0x62, 0x83}}, aps::kSelectInvalidated},
      {"FCI with 6283", {{0x6F, 0x00, 0x62, 0x83}}, aps::kSelectInvalidated},
      {"6F00", {{0x6F, 0x00}}, aps::kSelectFailed},
      {"61xx chain ending in 6A82", {{0x61, 0x01}, {0x01, 0x6A, 0x82}}, aps::kSelectFailed},
  };
  WithCard();
  TSDTLV out;
  Fake().QueueResponse(kOk);
  service_->SelectApplication(out, kBank, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const Bytes& r : c.responses) Fake().QueueResponse(r);
    EXPECT_EQ(StatusOf([&] { service_->SelectApplication(out, kOther, 0); }), c.status);
    int before = Fake().SentCount();
    service_->SelectApplication(out, kBank, 0);
    EXPECT_EQ(Fake().SentCount(), before) << "the earlier selection is still cached";
  }
}

TEST_F(TerminalAppletServiceTest, AidLengthOutsideOneToSixteenIsRefused) {
  WithCard();
  TSDTLV out;
  for (uint8_t length : {0, 17, 255}) {
    ApplicationId bad = kBank;
    bad.length = length;
    EXPECT_EQ(CatchSD([&] { service_->SelectApplication(out, bad, 1); }).code,
              sd::kInvalidArgument);
  }
  EXPECT_EQ(Fake().SentCount(), 0);
}

TEST_F(TerminalAppletServiceTest, ExchangeSplitsDataFromTheStatusWord) {
  WithCard();
  struct Case {
    const char* name;
    Bytes response;
    uint16_t sw;
    Bytes data;  // what `out` holds afterwards
  };
  const Case cases[] = {
      {"status word only", kOk, 0x9000, {}},
      {"data and 9000", {0x01, 0x02, 0x03, 0x90, 0x00}, 0x9000, {0x01, 0x02, 0x03}},
      {"other word leaves out untouched", {0x01, 0x63, 0xC2}, 0x63C2, {0xEE}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fake().QueueResponse(c.response);
    TSDByteArray out(Bytes{0xEE}.data(), 1);
    TSDAPDU apdu(0x00, 0xCA, 0x9F, 0x17, 0, nullptr, 256);
    EXPECT_EQ(service_->Exchange(apdu, out), c.sw);
    EXPECT_EQ(BytesOf(out), c.data);
  }
}

TEST_F(TerminalAppletServiceTest, SendCommandBuildsTheShortCommand) {
  WithCard(SCARD_PROTOCOL_T1);
  struct Case {
    int le;
    Bytes data;
    Bytes sent;
  };
  const Case cases[] = {
      {0, {}, {0x80, 0xCA, 0x9F, 0x17}},
      {256, {}, {0x80, 0xCA, 0x9F, 0x17, 0x00}},
      {8, {}, {0x80, 0xCA, 0x9F, 0x17, 0x08}},
      {0, {0x11, 0x22}, {0x80, 0xCA, 0x9F, 0x17, 0x02, 0x11, 0x22}},
      {256, {0x11}, {0x80, 0xCA, 0x9F, 0x17, 0x01, 0x11, 0x00}},
  };
  int i = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(i);
    Fake().QueueResponse(kOk);
    TSDByteArray out;
    TSDByteArray data(c.data.data(), static_cast<int32_t>(c.data.size()));
    EXPECT_EQ(service_->SendCommand(0x80, 0xCA, 0x9F, 0x17, data, c.le, out), 0x9000);
    EXPECT_EQ(Fake().Sent(i++), c.sent);
  }
  TSDByteArray out;
  EXPECT_EQ(CatchSD([&] { service_->SendCommand(0, 0xDA, 0, 0, TSDByteArray(256), 0, out); }).code,
            sd::kLength);
  EXPECT_EQ(CatchSD([&] { service_->SendCommand(0, 0xB0, 0, 0, TSDByteArray(), 257, out); }).code,
            sd::kInvalidArgument);
  EXPECT_EQ(Fake().SentCount(), i);
}

TEST_F(TerminalAppletServiceTest, SlotFailuresPassThroughTheCommandPath) {
  WithCard();
  Fake().QueueResult("SCardTransmit", SCARD_E_NOT_TRANSACTED);
  TSDByteArray out;
  testing::Raised raised =
      CatchSD([&] { service_->SendCommand(0, 0xB0, 0, 0, TSDByteArray(), 1, out); });
  EXPECT_EQ(raised.code, sd::kExternal);
  EXPECT_EQ(raised.message, "PCSC: 80100016 - SCardTransmit()");
}

TEST_F(TerminalAppletServiceTest, SlotIsReachableForTheTransactionBracket) {
  WithCard();
  ASSERT_NE(service_->Slot(), nullptr);
  EXPECT_EQ(service_->Slot()->CardAction(TSDSVCSmartCardSlot::ActionBeginTransaction), 1);
  EXPECT_EQ(service_->Slot()->CardAction(TSDSVCSmartCardSlot::ActionEndTransaction), 1);
  EXPECT_EQ(Fake().CallCount("SCardBeginTransaction"), 1ul);
}

}  // namespace
}  // namespace qorx
