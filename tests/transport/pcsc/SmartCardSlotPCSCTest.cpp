// The PC/SC slot against the fake PC/SC library: connection states, APDU exchange rules,
// counters, control pass-through and the faults a platform or card may throw at it.

#include <PCSC/winscard.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/StatusCodes.h"
#include "tests/transport/pcsc/FakePCSC.h"
#include "transport/pcsc/SmartCardSlotPCSC.h"

namespace qorx {
namespace {

using testing::CatchSD;
using testing::Fake;
using testing::UsePCSCLibrary;
using Bytes = std::vector<unsigned char>;
using Slot = TSDSVCSmartCardSlotPCSC;

const Bytes kAtr = {0x3B, 0x8E, 0x80, 0x01, 0x80, 0x31, 0x80, 0x66, 0xB1, 0x84};
const Bytes kOk = {0x90, 0x00};

Bytes Data(size_t n, unsigned char first = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(first + i);
  return b;
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes ApduBytes(const TSDAPDU& apdu) {
  return Bytes(apdu.Bytes().Data(), apdu.Bytes().Data() + apdu.Bytes().Length());
}

TSDAPDU Command(int cla, int ins, int p1, int p2, const Bytes& data, int le) {
  return TSDAPDU(cla, ins, p1, p2, TSDByteArray(data.data(), static_cast<int32_t>(data.size())),
                 le);
}

uint32_t Attribute(Slot& slot, uint16_t id) {
  uint32_t value = 0xFFFFFFFF;
  EXPECT_EQ(slot.GetAttribute(id, &value, 4), 4);
  return value;
}

class SlotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Fake().Loaded());
    UsePCSCLibrary(QORX_FAKE_PCSC_PATH);
    Fake().Reset();
    Fake().SetReaders(std::string("Reader A\0", 10));
  }
  void TearDown() override {
    slot_.reset();
    EXPECT_EQ(Fake().OpenContexts(), 0) << "context leaked";
    EXPECT_EQ(Fake().OpenCards(), 0) << "card handle leaked";
  }

  // An open slot connected to a card speaking `protocol`.
  Slot& Connected(unsigned long protocol = SCARD_PROTOCOL_T1) {
    Fake().SetProtocol(protocol);
    Fake().InsertCard(kAtr);
    slot_->Open("");
    EXPECT_EQ(slot_->CardAction(Slot::ActionConnect), 1);
    EXPECT_TRUE(slot_->Flags() & Slot::CardConnected);
    return *slot_;
  }

  // A new slot over a fake with nothing scripted, for each case of a table.
  void Restart() {
    slot_.reset();
    Fake().Reset();
    slot_.reset(new Slot("Reader A"));
  }

  std::unique_ptr<Slot> slot_{new Slot("Reader A")};
};

TEST_F(SlotTest, OpenReportsPresenceWithoutConnecting) {
  slot_->Open("");
  EXPECT_EQ(slot_->Flags(), Slot::SlotOpen);
  EXPECT_EQ(Fake().LastArgument("SCardGetStatusChange"), 0ul) << "status queries never wait";
  Fake().InsertCard(kAtr);
  EXPECT_EQ(slot_->GetStatus(nullptr), Slot::SlotOpen | Slot::CardPresent | Slot::CardInReader);
  EXPECT_EQ(Fake().CallCount("SCardConnect"), 0ul);
  slot_->Close();
  EXPECT_EQ(slot_->Flags(), 0);
  EXPECT_EQ(Fake().OpenContexts(), 0);
}

TEST_F(SlotTest, OpenTwiceGivesBackTheFirstContext) {
  Connected();
  slot_->Open("");
  EXPECT_EQ(Fake().OpenContexts(), 1);
  EXPECT_EQ(Fake().OpenCards(), 0);
  EXPECT_EQ(slot_->Flags(), Slot::SlotOpen | Slot::CardPresent | Slot::CardInReader);
}

TEST_F(SlotTest, FailedOpenLeavesTheSlotClosed) {
  const char* failing[] = {"SCardEstablishContext", "SCardGetStatusChange"};
  for (const char* fn : failing) {
    SCOPED_TRACE(fn);
    Fake().QueueResult(fn, SCARD_E_NO_SERVICE);
    testing::Raised raised = CatchSD([&] { slot_->Open(""); });
    EXPECT_EQ(raised.code, sd::kExternal);
    EXPECT_EQ(raised.message, std::string("PCSC: 8010001d - ") + fn + "()");
    EXPECT_EQ(slot_->Flags(), 0);
    EXPECT_EQ(Fake().OpenContexts(), 0);
  }
}

TEST_F(SlotTest, DestructionDisconnectsAndReleases) {
  Connected();
  EXPECT_EQ(Fake().OpenCards(), 1);
  slot_.reset();
  EXPECT_EQ(Fake().OpenCards(), 0);
  EXPECT_EQ(Fake().OpenContexts(), 0);
  EXPECT_EQ(Fake().LastArgument("SCardDisconnect"), static_cast<unsigned long>(SCARD_EJECT_CARD));
}

TEST_F(SlotTest, ConnectStoresTheAtrAndZeroesTheRestOfTheRecord) {
  Connected();
  CardInfo info;
  std::memset(&info, 0xAA, sizeof info);
  uint16_t flags = slot_->GetStatus(&info);
  EXPECT_EQ(flags, Slot::SlotOpen | Slot::CardPresent | Slot::CardInReader | Slot::CardConnected);
  ASSERT_EQ(info.length, kAtr.size());
  EXPECT_EQ(Bytes(info.atr, info.atr + info.length), kAtr);
  for (size_t i = kAtr.size(); i < sizeof info.atr; ++i) EXPECT_EQ(info.atr[i], 0) << i;
  EXPECT_EQ(Fake().LastArgument("SCardConnect"),
            static_cast<unsigned long>(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
}

TEST_F(SlotTest, OverlongAtrIsCutToTheRecord) {
  Fake().InsertCard(Data(36, 0x40));
  slot_->Open("");
  slot_->CardAction(Slot::ActionConnect);
  CardInfo info;
  std::memset(&info, 0xAA, sizeof info);
  slot_->GetStatus(&info);
  ASSERT_EQ(info.length, 33);
  EXPECT_EQ(Bytes(info.atr, info.atr + 33), Data(33, 0x40));
}

TEST_F(SlotTest, AtrIsGivenOnlyWhileConnected) {
  Fake().InsertCard(kAtr);
  slot_->Open("");
  CardInfo info;
  std::memset(&info, 0xAA, sizeof info);
  slot_->GetStatus(&info);
  EXPECT_EQ(info.length, 0xAA);
}

TEST_F(SlotTest, ConnectWithoutACardConnectsNothing) {
  slot_->Open("");
  EXPECT_EQ(slot_->CardAction(Slot::ActionConnect), Slot::SlotOpen);
  EXPECT_FALSE(slot_->Flags() & Slot::CardConnected);
  EXPECT_EQ(Fake().CallCount("SCardConnect"), 0ul);
}

TEST_F(SlotTest, MuteCardIsReportedAndFailsToConnect) {
  Fake().InsertMuteCard();
  slot_->Open("");
  EXPECT_EQ(slot_->GetStatus(nullptr),
            Slot::SlotOpen | Slot::CardPresent | Slot::CardInReader | Slot::CardMute);
  EXPECT_EQ(slot_->CardAction(Slot::ActionConnect), 1);
  EXPECT_TRUE(slot_->Flags() & Slot::CardMute);
  EXPECT_FALSE(slot_->Flags() & Slot::CardConnected);
}

TEST_F(SlotTest, RemovalIsSeenAsLostAndStopsTransmit) {
  Connected();
  Fake().RemoveCard();
  uint16_t flags = slot_->GetStatus(nullptr);
  EXPECT_TRUE(flags & Slot::CardLost);
  EXPECT_FALSE(flags & (Slot::CardConnected | Slot::CardPresent | Slot::CardInReader));
  TSDAPDU apdu = Command(0x00, 0xB0, 0, 0, {}, 16);
  EXPECT_EQ(CatchSD([&] { slot_->Transmit(apdu); }).code, sd::kWrongState);
  EXPECT_EQ(Fake().SentCount(), 0);
}

// Transmit asks pcscd nothing before the exchange; a card that left since the last status
// query is still reported as the status query would have reported it.
TEST_F(SlotTest, RemovalUnseenBeforeTransmitStillGivesWrongState) {
  Connected();
  Fake().QueueResponse(kOk);
  TSDAPDU apdu = Command(0x00, 0xB0, 0, 0, {}, 16);
  unsigned long statusQueries = Fake().CallCount("SCardGetStatusChange");
  slot_->Transmit(apdu);
  EXPECT_EQ(Fake().CallCount("SCardGetStatusChange"), statusQueries);

  Fake().RemoveCard();
  EXPECT_EQ(CatchSD([&] { slot_->Transmit(apdu); }).code, sd::kWrongState);
  EXPECT_TRUE(slot_->Flags() & Slot::CardLost);
  EXPECT_FALSE(slot_->Flags() & Slot::CardConnected);

  // A transmit failure that says nothing about the card stays a PC/SC failure.
  Slot& again = Connected();
  Fake().QueueResult("SCardTransmit", SCARD_E_COMM_DATA_LOST);
  TSDAPDU read = Command(0x00, 0xB0, 0, 0, {}, 16);
  EXPECT_EQ(CatchSD([&] { again.Transmit(read); }).message, "PCSC: 8010002f - SCardTransmit()");
}

TEST_F(SlotTest, FailingStatusMarksTheConnectionLost) {
  Connected();
  Fake().QueueResult("SCardStatus", SCARD_E_COMM_DATA_LOST);
  uint16_t flags = slot_->GetStatus(nullptr);
  EXPECT_TRUE(flags & Slot::CardLost);
  EXPECT_TRUE(flags & Slot::CardPresent);
  EXPECT_FALSE(flags & Slot::CardConnected);
}

TEST_F(SlotTest, HeldHandleIsReconnectedLeavingOrResettingTheCard) {
  Connected();
  EXPECT_EQ(slot_->CardAction(Slot::ActionDropConnection), 1);
  EXPECT_FALSE(slot_->Flags() & Slot::CardConnected);
  EXPECT_EQ(Fake().OpenCards(), 1) << "dropping keeps the handle";

  EXPECT_EQ(slot_->CardAction(Slot::ActionConnectReset), 1);
  EXPECT_EQ(Fake().LastArgument("SCardReconnect"), static_cast<unsigned long>(SCARD_RESET_CARD));
  EXPECT_EQ(slot_->CardAction(Slot::ActionConnect), 1);
  EXPECT_EQ(Fake().LastArgument("SCardReconnect"), static_cast<unsigned long>(SCARD_LEAVE_CARD));
  EXPECT_TRUE(slot_->Flags() & Slot::CardConnected);
  EXPECT_EQ(Fake().CallCount("SCardConnect"), 1ul);
}

TEST_F(SlotTest, CardPutBackIsConnectedAfreshWhenItsOldHandleIsRefused) {
  Connected();
  Fake().RemoveCard();
  slot_->GetStatus(nullptr);
  slot_->CardAction(Slot::ActionDropConnection);
  Fake().InsertCard(kAtr);
  slot_->GetStatus(nullptr);
  EXPECT_EQ(slot_->CardAction(Slot::ActionConnect), 1);
  EXPECT_TRUE(slot_->Flags() & Slot::CardConnected);
  EXPECT_FALSE(slot_->Flags() & Slot::CardMute);
  EXPECT_EQ(Fake().CallCount("SCardConnect"), 2ul);
  EXPECT_EQ(Fake().OpenCards(), 1);
}

TEST_F(SlotTest, CardActionCodes) {
  struct Case {
    int code;
    bool open;
    int result;       // when nothing is raised
    uint16_t raised;  // 0: nothing
  };
  const Case cases[] = {
      {Slot::ActionNone, false, 0, 0},
      {Slot::ActionNone, true, 0, 0},
      {Slot::ActionRelease, false, 1, 0},
      {Slot::ActionReopen, false, 1, 0},
      {Slot::ActionReopen, true, 0, 0},
      {Slot::ActionConnect, false, 0, sd::kWrongState},
      {Slot::ActionDropConnection, false, 0, sd::kWrongState},
      {Slot::ActionEject, false, 0, sd::kWrongState},
      {7, false, 0, sd::kWrongState},
      {7, true, 0, sd::kInvalidArgument},
      {8, true, 0, sd::kInvalidArgument},
      {11, true, 0, sd::kInvalidArgument},
      {-1, true, 0, sd::kInvalidArgument},
      {Slot::ActionBeginTransaction, false, 0, sd::kWrongState},
      {Slot::ActionEndTransaction, false, 0, sd::kWrongState},
      {Slot::ActionDropConnection, true, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "code " << c.code << (c.open ? " open" : " closed"));
    Slot slot("Reader A");
    if (c.open) slot.Open("");
    int result = -100;
    EXPECT_EQ(CatchSD([&] { result = slot.CardAction(c.code); }).code, c.raised);
    if (c.raised == 0) {
      EXPECT_EQ(result, c.result);
    }
  }
}

TEST_F(SlotTest, ReleaseAndReopen) {
  Connected();
  EXPECT_EQ(slot_->CardAction(Slot::ActionRelease), 1);
  EXPECT_EQ(slot_->Flags(), 0);
  EXPECT_EQ(Fake().OpenCards(), 0);
  EXPECT_EQ(Fake().LastArgument("SCardDisconnect"), static_cast<unsigned long>(SCARD_EJECT_CARD));
  EXPECT_EQ(Fake().OpenContexts(), 1) << "release keeps the context";
  EXPECT_EQ(slot_->CardAction(Slot::ActionReopen), 1);
  EXPECT_EQ(slot_->GetStatus(nullptr), Slot::SlotOpen | Slot::CardPresent | Slot::CardInReader);

  EXPECT_EQ(slot_->CardAction(Slot::ActionConnect), 1);
  Fake().QueueResult("SCardDisconnect", SCARD_E_INVALID_HANDLE);
  EXPECT_EQ(slot_->CardAction(Slot::ActionRelease), 0) << "failed disconnect is not raised";
  EXPECT_EQ(slot_->Flags(), 0);
  slot_->CardAction(Slot::ActionReopen);
  slot_->Close();
  EXPECT_EQ(Fake().OpenContexts(), 0);
  Fake().Reset();  // the refused disconnect left the fake's handle behind
}

TEST_F(SlotTest, EjectLeavesTheSlotOpenAndRaisesAFailedDisconnect) {
  Connected();
  EXPECT_EQ(slot_->CardAction(Slot::ActionEject), 1);
  EXPECT_EQ(slot_->Flags(), Slot::SlotOpen);
  EXPECT_EQ(Fake().OpenCards(), 0);

  slot_->GetStatus(nullptr);
  slot_->CardAction(Slot::ActionConnect);
  Fake().QueueResult("SCardDisconnect", SCARD_E_INVALID_HANDLE);
  testing::Raised raised = CatchSD([&] { slot_->CardAction(Slot::ActionEject); });
  EXPECT_EQ(raised.code, sd::kExternal);
  EXPECT_EQ(raised.message, "ManageConnect(): Failed )");
  slot_->Close();
  Fake().Reset();
}

TEST_F(SlotTest, TransactionBracketReportsFailureWithoutRaising) {
  Connected();
  EXPECT_EQ(slot_->CardAction(Slot::ActionBeginTransaction), 1);
  EXPECT_EQ(slot_->CardAction(Slot::ActionEndTransaction), 1);
  EXPECT_EQ(Fake().LastArgument("SCardEndTransaction"),
            static_cast<unsigned long>(SCARD_LEAVE_CARD));
  Fake().QueueResult("SCardBeginTransaction", SCARD_E_NOT_TRANSACTED);
  Fake().QueueResult("SCardEndTransaction", SCARD_E_NOT_TRANSACTED);
  EXPECT_EQ(slot_->CardAction(Slot::ActionBeginTransaction), 0);
  EXPECT_EQ(slot_->CardAction(Slot::ActionEndTransaction), 0);
}

// ---- Transmit ----

TEST_F(SlotTest, CaseFourCommandDropsLeUnderT0Only) {
  struct Case {
    unsigned long protocol;
    size_t sentLength;
  };
  const Case cases[] = {{SCARD_PROTOCOL_T0, 12}, {SCARD_PROTOCOL_T1, 13}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.protocol);
    Restart();
    Connected(c.protocol);
    Fake().QueueResponse(kOk);
    TSDAPDU apdu = Command(0x00, 0xA4, 0x04, 0x00, Data(7, 0xA0), 256);
    Bytes full = ApduBytes(apdu);
    slot_->Transmit(apdu);
    ASSERT_EQ(Fake().SentCount(), 1);
    EXPECT_EQ(Fake().Sent(0), Bytes(full.begin(), full.begin() + c.sentLength));
    EXPECT_EQ(Fake().SentProtocol(0), c.protocol);
    EXPECT_EQ(ApduBytes(apdu), kOk);
    EXPECT_EQ(apdu.GetLength(TSDAPDU::kLc), 0);
    EXPECT_EQ(Attribute(*slot_, Slot::AttributeProtocol),
              c.protocol == SCARD_PROTOCOL_T1 ? 2u : 1u);
  }
}

TEST_F(SlotTest, OtherCommandCasesAreSentWholeUnderT0) {
  Connected(SCARD_PROTOCOL_T0);
  const TSDAPDU commands[] = {Command(0x00, 0x84, 0, 0, {}, 8),
                              Command(0x00, 0xDA, 0, 0, Data(4), 0),
                              Command(0x80, 0x50, 0, 0, {}, 0)};
  int i = 0;
  for (TSDAPDU apdu : commands) {
    Bytes full = ApduBytes(apdu);
    Fake().QueueResponse(kOk);
    slot_->Transmit(apdu);
    EXPECT_EQ(Fake().Sent(i++), full);
  }
}

TEST_F(SlotTest, WrongLengthIsResentOnceWithTheCardsP3) {
  Connected(SCARD_PROTOCOL_T0);
  Fake().QueueResponse({0x6C, 0x10});
  Fake().QueueResponse(Concat(Data(16), kOk));
  TSDAPDU apdu = Command(0x00, 0xB0, 0x00, 0x00, {}, 0x20);
  slot_->Transmit(apdu);
  ASSERT_EQ(Fake().SentCount(), 2);
  EXPECT_EQ(Fake().Sent(0), Bytes({0x00, 0xB0, 0x00, 0x00, 0x20}));
  EXPECT_EQ(Fake().Sent(1), Bytes({0x00, 0xB0, 0x00, 0x00, 0x10}));
  EXPECT_EQ(ApduBytes(apdu), Concat(Data(16), kOk));
  EXPECT_EQ(Attribute(*slot_, Slot::AttributeExchangeCount), 2u);
  EXPECT_EQ(Attribute(*slot_, Slot::AttributeBytesSent), 10u);
  EXPECT_EQ(Attribute(*slot_, Slot::AttributeBytesReceived), 20u);
}

TEST_F(SlotTest, WrongLengthIsResentOnlyOnce) {
  Connected(SCARD_PROTOCOL_T0);
  Fake().QueueResponse({0x6C, 0x10});
  Fake().QueueResponse({0x6C, 0x08});
  TSDAPDU apdu = Command(0x00, 0xB0, 0x00, 0x00, {}, 0x20);
  slot_->Transmit(apdu);
  EXPECT_EQ(Fake().SentCount(), 2);
  EXPECT_EQ(ApduBytes(apdu), Bytes({0x6C, 0x08}));
}

// With data in the command P3 is Lc: the card's Le goes into the trailing Le byte, and a
// command sent without one is not repeated.
TEST_F(SlotTest, WrongLengthNeverRewritesLc) {
  struct Case {
    const char* name;
    unsigned long protocol;
    int le;
    Bytes resent;  // empty: not repeated, 6C 10 is the answer
  };
  const Case cases[] = {
      {"case 4 under T=1",
       SCARD_PROTOCOL_T1,
       256,
       {0x00, 0x88, 0x00, 0x00, 0x02, 0xAA, 0xBB, 0x10}},
      {"case 3 under T=1", SCARD_PROTOCOL_T1, 0, {}},
      {"case 4 under T=0, Le not sent", SCARD_PROTOCOL_T0, 256, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    Connected(c.protocol);
    Fake().QueueResponse({0x6C, 0x10});
    Fake().QueueResponse(Concat(Data(16), kOk));
    TSDAPDU apdu = Command(0x00, 0x88, 0x00, 0x00, {0xAA, 0xBB}, c.le);
    slot_->Transmit(apdu);
    if (c.resent.empty()) {
      EXPECT_EQ(Fake().SentCount(), 1);
      EXPECT_EQ(ApduBytes(apdu), Bytes({0x6C, 0x10}));
    } else {
      ASSERT_EQ(Fake().SentCount(), 2);
      EXPECT_EQ(Fake().Sent(1), c.resent);
      EXPECT_EQ(ApduBytes(apdu), Concat(Data(16), kOk));
    }
  }
}

TEST_F(SlotTest, GetResponseChainCollectsAllDataInOrder) {
  Connected(SCARD_PROTOCOL_T0);
  Fake().QueueResponse({0x61, 0x20});
  Fake().QueueResponse(Concat(Data(32, 0x00), {0x61, 0x08}));
  Fake().QueueResponse(Concat(Data(8, 0x20), kOk));
  TSDAPDU apdu = Command(0x00, 0xA4, 0x04, 0x00, Data(7, 0xA0), 256);
  slot_->Transmit(apdu);
  ASSERT_EQ(Fake().SentCount(), 3);
  EXPECT_EQ(Fake().Sent(1), Bytes({0x00, 0xC0, 0x00, 0x00, 0x20}));
  EXPECT_EQ(Fake().Sent(2), Bytes({0x00, 0xC0, 0x00, 0x00, 0x08}));
  EXPECT_EQ(ApduBytes(apdu), Concat(Data(40, 0x00), kOk));
  EXPECT_EQ(Attribute(*slot_, Slot::AttributeExchangeCount), 3u);
}

TEST_F(SlotTest, GetResponseChainKeepsDataOfTheFirstResponse) {
  Connected(SCARD_PROTOCOL_T1);
  Fake().QueueResponse(Concat(Data(4, 0x10), {0x61, 0x02}));
  Fake().QueueResponse(Concat(Data(2, 0x14), {0x62, 0x83}));
  TSDAPDU apdu = Command(0x00, 0xCA, 0x9F, 0x17, {}, 0);
  slot_->Transmit(apdu);
  EXPECT_EQ(ApduBytes(apdu), Concat(Data(6, 0x10), {0x62, 0x83}));
}

TEST_F(SlotTest, EndlessGetResponseChainIsCutOff) {
  struct Case {
    const char* name;
    Bytes first;
    Bytes repeating;
  };
  const Case cases[] = {
      {"61 00 without data", {0x61, 0x00}, {0x61, 0x00}},
      {"256 data bytes each time", Concat(Data(256), {0x61, 0x00}),
       Concat(Data(256), {0x61, 0x00})},
      {"61 01 with one byte", {0x61, 0x01}, {0x55, 0x61, 0x01}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    Connected(SCARD_PROTOCOL_T0);
    Fake().QueueResponse(c.first);
    Fake().SetRepeatingResponse(c.repeating);
    TSDAPDU apdu = Command(0x00, 0xB2, 0x01, 0x0C, {}, 256);
    EXPECT_EQ(CatchSD([&] { slot_->Transmit(apdu); }).code, sd::kLength);
    EXPECT_EQ(Fake().SentCount(), 1 + Slot::kMaxGetResponseRounds);
  }
}

TEST_F(SlotTest, ResponsesWithoutAStatusWordAreRefused) {
  struct Case {
    const char* name;
    std::vector<Bytes> responses;
    unsigned long lie;
  };
  const Case cases[] = {
      {"empty", {{}}, 0},
      {"one byte", {{0x90}}, 0},
      {"one byte in a GET RESPONSE chain", {{0x61, 0x10}, {0x61}}, 0},
      {"empty after wrong length", {{0x6C, 0x10}, {}}, 0},
      {"length beyond the receive buffer", {kOk}, 300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    Connected(SCARD_PROTOCOL_T0);
    for (const Bytes& r : c.responses) Fake().QueueResponse(r);
    Fake().LieAboutResponseLength(c.lie);
    TSDAPDU apdu = Command(0x00, 0xB0, 0x00, 0x00, {}, 0x20);
    EXPECT_EQ(CatchSD([&] { slot_->Transmit(apdu); }).code, sd::kLength);
  }
}

TEST_F(SlotTest, TransmitRefusals) {
  Connected();
  TSDAPDU tooLong;
  tooLong.ParseCommand(TSDByteArray(261), false);
  EXPECT_EQ(CatchSD([&] { slot_->Transmit(tooLong); }).code, sd::kLength);

  Fake().QueueResult("SCardTransmit", SCARD_E_NO_SMARTCARD);
  TSDAPDU apdu = Command(0x00, 0xB0, 0, 0, {}, 1);
  testing::Raised raised = CatchSD([&] { slot_->Transmit(apdu); });
  EXPECT_EQ(raised.code, sd::kExternal);
  EXPECT_EQ(raised.message, "PCSC: 8010000c - SCardTransmit()");
  EXPECT_EQ(raised.unit, "SmartCardSlotPCSC");
  EXPECT_EQ(Attribute(*slot_, Slot::AttributeExchangeCount), 0u);

  Slot closed("Reader A");
  EXPECT_EQ(CatchSD([&] { closed.Transmit(apdu); }).code, sd::kWrongState);
}

TEST_F(SlotTest, ProtocolOtherThanT0OrT1IsRefused) {
  Connected(SCARD_PROTOCOL_RAW);
  TSDAPDU apdu = Command(0x00, 0xB0, 0, 0, {}, 1);
  EXPECT_EQ(CatchSD([&] { slot_->Transmit(apdu); }).code, sd::kMalformed);
  EXPECT_EQ(Fake().SentCount(), 0);
  EXPECT_EQ(Attribute(*slot_, Slot::AttributeProtocol), 0u);
}

TEST_F(SlotTest, CountersAndAttributes) {
  EXPECT_EQ(Attribute(*slot_, Slot::AttributeExchangeCount), 0u);
  Connected(SCARD_PROTOCOL_T0);
  Fake().QueueResponse({0x61, 0x05});
  Fake().QueueResponse(Concat(Data(5), kOk));
  TSDAPDU apdu = Command(0x00, 0xDA, 0x01, 0x02, Data(8), 0);
  ASSERT_EQ(apdu.GetLength(TSDAPDU::kBytes), 13);
  slot_->Transmit(apdu);
  EXPECT_EQ(Attribute(*slot_, Slot::AttributeBytesSent), 18u);
  EXPECT_EQ(Attribute(*slot_, Slot::AttributeExchangeCount), 2u);
  EXPECT_EQ(Attribute(*slot_, Slot::AttributeBytesReceived), 9u);
  EXPECT_EQ(Attribute(*slot_, Slot::AttributeFixed1), 1u);
  EXPECT_EQ(Attribute(*slot_, Slot::AttributeFixed3), 1u);
  EXPECT_EQ(Attribute(*slot_, Slot::AttributeProtocol), 1u);

  // Counters survive closing and reopening.
  slot_->Close();
  slot_->Open("");
  EXPECT_EQ(Attribute(*slot_, Slot::AttributeBytesSent), 18u);

  uint32_t value = 0;
  EXPECT_EQ(CatchSD([&] { slot_->GetAttribute(Slot::AttributeBytesSent, nullptr, 4); }).code,
            sd::kInvalidArgument);
  EXPECT_EQ(CatchSD([&] { slot_->GetAttribute(Slot::AttributeBytesSent, &value, 2); }).code,
            sd::kInvalidArgument);
  EXPECT_EQ(CatchSD([&] { slot_->GetAttribute(0x202, &value, 4); }).code, sd::kInvalidArgument);
  EXPECT_EQ(CatchSD([&] { slot_->SetAttribute(0x200, &value, 4); }).code, sd::kInvalidArgument);
}

// ---- Control ----

TEST_F(SlotTest, ControlPassesResultsThrough) {
  Connected();
  Fake().SetControlOutput({0x01, 0x02, 0x03});
  unsigned char out[8] = {};
  int outLength = sizeof out;
  unsigned char in[2] = {0xAB, 0xCD};
  EXPECT_EQ(slot_->Control(0x42000D48, in, 2, out, &outLength), SCARD_S_SUCCESS);
  EXPECT_EQ(outLength, 3);
  EXPECT_EQ(Bytes(out, out + 3), Bytes({0x01, 0x02, 0x03}));
  EXPECT_EQ(Fake().LastArgument("SCardControl"), 0x42000D48ul);

  Fake().QueueResult("SCardControl", SCARD_E_UNSUPPORTED_FEATURE);
  outLength = sizeof out;
  EXPECT_EQ(slot_->Control(1, in, 2, out, &outLength), SCARD_E_UNSUPPORTED_FEATURE);
  EXPECT_EQ(outLength, 0);
  EXPECT_TRUE(slot_->Flags() & Slot::CardConnected);
  EXPECT_EQ(CatchSD([&] { slot_->Control(1, in, -1, out, &outLength); }).code,
            sd::kInvalidArgument);
}

TEST_F(SlotTest, ControlRetriesOnceAfterARemovedCard) {
  Connected();
  Fake().SetControlOutput({0x07});
  Fake().QueueResult("SCardControl", SCARD_S_SUCCESS);
  Fake().QueueResult("SCardControl", SCARD_S_SUCCESS);
  Fake().QueueResult("SCardControl", SCARD_W_REMOVED_CARD);
  unsigned char out[4] = {};
  int outLength = sizeof out;
  EXPECT_EQ(slot_->Control(1, nullptr, 0, out, &outLength), SCARD_S_SUCCESS);
  outLength = sizeof out;
  EXPECT_EQ(slot_->Control(1, nullptr, 0, out, &outLength), SCARD_S_SUCCESS);
  EXPECT_TRUE(slot_->Flags() & Slot::CardConnected);

  // Third call: removed, then the retry succeeds.
  outLength = sizeof out;
  EXPECT_EQ(slot_->Control(1, nullptr, 0, out, &outLength), SCARD_S_SUCCESS);
  EXPECT_EQ(outLength, 1);
  EXPECT_EQ(Fake().CallCount("SCardControl"), 4ul);
  EXPECT_TRUE(slot_->Flags() & Slot::CardLost);
  EXPECT_FALSE(slot_->Flags() & Slot::CardConnected);

  // Removed twice: the retry's failure is raised.
  Fake().QueueResult("SCardControl", SCARD_W_REMOVED_CARD);
  Fake().QueueResult("SCardControl", SCARD_W_REMOVED_CARD);
  testing::Raised raised = CatchSD([&] { slot_->Control(1, nullptr, 0, out, &outLength); });
  EXPECT_EQ(raised.code, sd::kExternal);
  EXPECT_EQ(raised.message, "PCSC: 80100069 - SCardControl()");
}

}  // namespace
}  // namespace qorx
