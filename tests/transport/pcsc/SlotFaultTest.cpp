// The slot when the platform fails under it: the PC/SC service restarting, another
// application holding the card, and a card answering 6Cxx to a command that has no Le.

#include <PCSC/winscard.h>
#include <gtest/gtest.h>

#include <chrono>
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

const Bytes kAtr = {0x3B, 0x88, 0x01, 0x51, 0x6F, 0x72, 0x58, 0x53, 0x69, 0x6D, 0x31, 0xFB};
constexpr uint16_t kPresent = Slot::SlotOpen | Slot::CardPresent | Slot::CardInReader;

class SlotFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Fake().Loaded());
    UsePCSCLibrary(QORX_FAKE_PCSC_PATH);
    Fake().Reset();
    Fake().SetReaders(std::string("Reader A\0", 10));
    Fake().InsertCard(kAtr);
    slot_->Open("");
    ASSERT_EQ(slot_->CardAction(Slot::ActionConnect), 1);
    ASSERT_EQ(slot_->GetStatus(nullptr), kPresent | Slot::CardConnected);
  }
  void TearDown() override {
    slot_.reset();
    EXPECT_EQ(Fake().OpenContexts(), 0) << "context leaked";
    EXPECT_EQ(Fake().OpenCards(), 0) << "card handle leaked";
  }

  void Send() {
    TSDAPDU apdu(0x00, 0xB0, 0x00, 0x00, TSDByteArray(), 16);
    slot_->Transmit(apdu);
  }

  std::unique_ptr<Slot> slot_{new Slot("Reader A")};
};

// The status query after a restart answers through a new context; the card counts as lost,
// so the service identifies it afresh, and it is connected again by the reader's name.
TEST_F(SlotFaultTest, StatusQueryRecoversFromARestartedService) {
  struct Case {
    const char* name;
    long code;  // 0: the restart itself (every handle unknown)
  };
  const Case cases[] = {{"restart", 0},
                        {"no service", SCARD_E_NO_SERVICE},
                        {"service stopped", SCARD_E_SERVICE_STOPPED},
                        {"communication error", SCARD_F_COMM_ERROR}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.code == 0) {
      Fake().RestartService();
    } else {
      // A service that is gone answers every call so, the connected handle's first.
      Fake().QueueResult("SCardStatus", c.code);
      Fake().QueueResult("SCardGetStatusChange", c.code);
    }
    const unsigned long contexts = Fake().CallCount("SCardEstablishContext");
    EXPECT_EQ(slot_->GetStatus(nullptr), kPresent | Slot::CardLost);
    EXPECT_EQ(Fake().CallCount("SCardEstablishContext"), contexts + 1);
    EXPECT_EQ(Fake().OpenContexts(), 1);
    EXPECT_EQ(Fake().OpenCards(), 0) << "the dead handle was kept";

    slot_->CardAction(Slot::ActionDropConnection);
    EXPECT_EQ(slot_->CardAction(Slot::ActionConnect), 1);
    EXPECT_EQ(slot_->GetStatus(nullptr), kPresent | Slot::CardConnected);
    EXPECT_EQ(Fake().OpenCards(), 1);
  }
}

TEST_F(SlotFaultTest, ServiceStillAwayIsReportedAndTriedAgainByTheNextCall) {
  Fake().RestartService();
  Fake().QueueResult("SCardEstablishContext", SCARD_E_NO_SERVICE);
  EXPECT_EQ(CatchSD([&] { slot_->GetStatus(nullptr); }).message,
            "PCSC: 8010001d - SCardEstablishContext()");
  EXPECT_EQ(slot_->GetStatus(nullptr), kPresent | Slot::CardLost);
  EXPECT_EQ(Fake().OpenContexts(), 1);
}

// A card operation under way fails with its status and nothing is sent again; the next
// status query starts afresh.
TEST_F(SlotFaultTest, CommandUnderWayFailsWithItsStatus) {
  Fake().QueueResult("SCardTransmit", SCARD_E_NO_SERVICE);
  EXPECT_EQ(CatchSD([&] { Send(); }).message, "PCSC: 8010001d - SCardTransmit()");
  EXPECT_EQ(Fake().CallCount("SCardTransmit"), 1ul);
  EXPECT_TRUE(slot_->Flags() & Slot::CardLost);
  EXPECT_EQ(CatchSD([&] { Send(); }).code, sd::kWrongState);
  EXPECT_EQ(slot_->GetStatus(nullptr), kPresent | Slot::CardLost);
  EXPECT_EQ(Fake().OpenCards(), 0);
}

TEST_F(SlotFaultTest, NothingIsRetriedWhileATransactionWasHeld) {
  ASSERT_EQ(slot_->CardAction(Slot::ActionBeginTransaction), 1);
  Fake().RestartService();
  const unsigned long queries = Fake().CallCount("SCardGetStatusChange");
  EXPECT_EQ(CatchSD([&] { slot_->GetStatus(nullptr); }).message,
            "PCSC: 80100003 - SCardGetStatusChange()");
  EXPECT_EQ(Fake().CallCount("SCardGetStatusChange"), queries + 1);
  // The transaction died with the service: there is nothing left to end.
  EXPECT_EQ(slot_->CardAction(Slot::ActionEndTransaction), 0);
  EXPECT_EQ(Fake().CallCount("SCardEndTransaction"), 0ul);
  EXPECT_EQ(slot_->GetStatus(nullptr), kPresent | Slot::CardLost);
}

TEST_F(SlotFaultTest, ReaderListIsAskedOnceMoreAfterARestart) {
  Fake().QueueResult("SCardListReaders", SCARD_E_NO_SERVICE);
  char names[64];
  int size = sizeof names;
  EXPECT_EQ(TSDSmartCardSlotPCSCFactory::Instance()->EnumerateNames(names, &size), 1);
  EXPECT_EQ(std::string(names, static_cast<size_t>(size)), std::string("Reader A\0", 10));
  EXPECT_EQ(Fake().OpenContexts(), 1) << "the enumeration's contexts are its own";
}

// Another application's transaction: pcsc-lite answers at once (we ask it not to wait) and
// the slot waits, bounded, for the card.
TEST_F(SlotFaultTest, AnotherApplicationsTransactionIsWaitedForBounded) {
  EXPECT_STRNE(std::getenv("PCSCLITE_NO_BLOCKING"), nullptr);
  for (int i = 0; i < 3; ++i)
    Fake().QueueResult("SCardBeginTransaction", SCARD_E_SHARING_VIOLATION);
  EXPECT_EQ(slot_->CardAction(Slot::ActionBeginTransaction), 1);
  EXPECT_EQ(Fake().CallCount("SCardBeginTransaction"), 4ul);
  EXPECT_EQ(slot_->CardAction(Slot::ActionEndTransaction), 1);

  for (int i = 0; i < 2; ++i) Fake().QueueResult("SCardStatus", SCARD_E_SHARING_VIOLATION);
  EXPECT_EQ(slot_->GetStatus(nullptr), kPresent | Slot::CardConnected) << "not a lost card";

  Fake().SetDefaultResult("SCardBeginTransaction", SCARD_E_SHARING_VIOLATION);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CatchSD([&] { slot_->CardAction(Slot::ActionBeginTransaction); }).message,
            "PCSC: 8010000b - SCardBeginTransaction()");
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(Slot::kSharingWaitMs));
  EXPECT_LT(waited, std::chrono::milliseconds(Slot::kSharingWaitMs + 1000));
  EXPECT_TRUE(slot_->Flags() & Slot::CardConnected);
}

TEST_F(SlotFaultTest, WrongLengthToACommandWithoutLeIsNotRepeated) {
  Fake().QueueResponse({0x6C, 0x10});
  TSDAPDU apdu(0x80, 0xE6, 0x00, 0x00, TSDByteArray(), 0);
  slot_->Transmit(apdu);
  EXPECT_EQ(Fake().SentCount(), 1);
  EXPECT_EQ(apdu.StatusWord(), 0x6C10);
}

}  // namespace
}  // namespace qorx
