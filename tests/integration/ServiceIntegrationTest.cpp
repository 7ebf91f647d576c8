// The terminal applet services against the real pcscd, the vpcd virtual reader and the card
// simulator: following the card, the ATR, the SELECT cache, the bank application.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "applet/ApplicationIdentifier.h"
#include "applet/QorTerminalAppletService.h"
#include "applet/TerminalAppletService.h"
#include "core/Exceptions.h"
#include "tests/integration/IntegrationSupport.h"
#include "tests/support/TestSupport.h"
#include "transport/TLV.h"
#include "transport/pcsc/SmartCardSlotPCSC.h"

namespace qorx::integration {
namespace {

using test::HexOf;
using test::StatusOf;

ApplicationId Aid(const uint8_t* bytes, size_t length) {
  ApplicationId id;
  std::memset(&id, 0, sizeof id);
  id.length = static_cast<uint8_t>(length);
  std::memcpy(id.aid, bytes, length);
  return id;
}
const ApplicationId kBank = Aid(kApplicationAid, sizeof kApplicationAid);
const uint8_t kUnknownAid[] = {0xA0, 0x00, 0x00, 0x09, 0x51, 0x10, 0x02};

// The base service with hooks that only record.
class RecordingService : public TSDBaseTerminalAppletService {
 public:
  RecordingService() : TSDBaseTerminalAppletService(TSDSmartCardSlotPCSCFactory::Instance()) {}
  ~RecordingService() override {
    if (Slot() != nullptr) {
      try {
        Close();
      } catch (...) {
      }
    }
  }
  std::vector<std::string> events;

 protected:
  void ReaderOpened() override { events.push_back("opened"); }
  void ReaderClosing() override { events.push_back("closing"); }
  void CardInserted(int mute) override { events.push_back(mute ? "inserted mute" : "inserted"); }
  void CardRemoved() override { events.push_back("removed"); }
};

class ServiceIntegration : public testing::Test {
 protected:
  void SetUp() override { sim_.Reinsert(); }

  // PollCard until the service sees the card as `present`.
  bool PollUntil(RecordingService& service, bool present) {
    return WaitFor([&] {
      service.PollCard();
      return service.IsCardPresent() == present;
    });
  }

  std::string Atr(const TSDBaseTerminalAppletService& service) {
    CardInfo info;
    service.GetCardInfo(info);
    return HexOf(TSDByteArray(info.atr, info.length));
  }

  Simulator sim_;
};

TEST_F(ServiceIntegration, ReadersAndOpen) {
  RecordingService service;
  ASSERT_GE(service.GetReaderCount(), 2);
  std::vector<std::string> names;
  for (int i = 0; i < service.GetReaderCount(); ++i)
    names.push_back(service.GetReaderName(i).CStr());
  EXPECT_NE(std::find(names.begin(), names.end(), kReader), names.end());
  EXPECT_EQ(StatusOf([&] { service.GetReaderName(service.GetReaderCount()); }),
            aps::kReaderIndexOutOfRange);

  service.Open(kReader);
  EXPECT_STREQ(service.GetActiveReader().CStr(), kReader);
  EXPECT_EQ(StatusOf([&] { service.Open(kReader); }), aps::kReaderAlreadyOpen);
  EXPECT_EQ(StatusOf([&] {
              CardInfo info;
              service.GetCardInfo(info);
            }),
            aps::kNoCard);
  service.Close();
  EXPECT_EQ(StatusOf([&] { service.Close(); }), aps::kNoReaderToClose);
  EXPECT_EQ(service.events, (std::vector<std::string>{"opened", "closing"}));
  // A reader pcscd does not know: the slot's first status query fails, Open with it.
  EXPECT_EQ(StatusOf([&] { service.Open("No Such Reader 99"); }), aps::kReaderOpenFailed);
  EXPECT_EQ(StatusOf([&] { service.GetActiveReader(); }), aps::kNoReaderOpen);
}

TEST_F(ServiceIntegration, FollowsTheCardAndItsAtr) {
  RecordingService service;
  service.Open(kReader);
  ASSERT_TRUE(PollUntil(service, true));
  EXPECT_EQ(Atr(service), kAtrT1);

  sim_.Remove();
  ASSERT_TRUE(PollUntil(service, false));
  EXPECT_EQ(StatusOf([&] { Atr(service); }), aps::kNoCard);

  sim_.Reinsert({"t0"});
  ASSERT_TRUE(PollUntil(service, true));
  EXPECT_EQ(Atr(service), kAtrT0);
  EXPECT_EQ(service.events,
            (std::vector<std::string>{"opened", "inserted", "removed", "inserted"}));

  // A mute card: present, with an empty ATR.
  sim_.Reinsert({"mute"});
  ASSERT_TRUE(WaitFor([&] {
    service.PollCard();
    return service.events.back() == "inserted mute";
  }));
  EXPECT_TRUE(service.IsCardPresent());
  EXPECT_EQ(Atr(service), "");
}

TEST_F(ServiceIntegration, SelectCache) {
  RecordingService service;
  service.Open(kReader);
  ASSERT_TRUE(PollUntil(service, true));
  sim_.ResetCounts();

  TSDTLV fci;
  service.SelectApplication(fci, kBank, 0);
  EXPECT_EQ(HexOf(fci.Encoding()), "6F108407A0000009511001A5059F08020102");
  EXPECT_EQ(sim_.Count("A4"), 1);
  // The same AID again: nothing is sent.
  service.SelectApplication(fci, kBank, 0);
  EXPECT_EQ(fci.EncodingLength(), 0);
  EXPECT_EQ(sim_.Count("A4"), 1);
  // Forced, it is.
  service.SelectApplication(fci, kBank, 1);
  EXPECT_EQ(sim_.Count("A4"), 2);

  // After a removal the cache is gone: the card may not be the same one.
  sim_.Remove();
  ASSERT_TRUE(PollUntil(service, false));
  sim_.Insert();
  ASSERT_TRUE(PollUntil(service, true));
  service.SelectApplication(fci, kBank, 0);
  EXPECT_EQ(sim_.Count("A4"), 3);
  EXPECT_EQ(fci.EncodingLength(), 18);

  // Failed selections leave the cache as it was.
  EXPECT_EQ(StatusOf([&] { service.SelectApplication(fci, Aid(kUnknownAid, 7), 0); }),
            aps::kSelectFailed);
  service.SelectApplication(fci, kBank, 0);
  EXPECT_EQ(sim_.Count("A4"), 4);  // the unknown AID's SELECT; the bank one came from cache
  sim_.Expect("select-warning");
  EXPECT_EQ(StatusOf([&] { service.SelectApplication(fci, kBank, 1); }), aps::kSelectInvalidated);
  sim_.Expect("select-warning off");
  sim_.Expect("select-fail");
  EXPECT_EQ(StatusOf([&] { service.SelectApplication(fci, kBank, 1); }), aps::kSelectFailed);
}

TEST_F(ServiceIntegration, SendCommandUnderT0) {
  sim_.Reinsert({"t0", "chunk 5", "respond 80CA9F17:9F1701039000"});
  RecordingService service;
  service.Open(kReader);
  ASSERT_TRUE(PollUntil(service, true));
  TSDByteArray out;
  EXPECT_EQ(service.SendCommand(0x80, 0xCA, 0x9F, 0x17, TSDByteArray(), 256, out), 0x9000);
  EXPECT_EQ(HexOf(out), "9F170103");
  TSDByteArray aid(kApplicationAid, sizeof kApplicationAid);
  EXPECT_EQ(service.SendCommand(0x80, 0xF2, 0x40, 0x00, aid, 256, out), 0x6985);  // not selected
  EXPECT_EQ(HexOf(out), "9F170103");                                              // untouched
  EXPECT_EQ(service.SendCommand(0x00, 0xA4, 0x04, 0x00, aid, 256, out), 0x9000);
  EXPECT_EQ(service.SendCommand(0x80, 0xF2, 0x40, 0x00, aid, 256, out), 0x9000);
  EXPECT_EQ(HexOf(out), "8407A00000095110019F0802010201");  // AID, version, status byte
}

// The bank application through the whole stack: identification when the card is seen, the
// version from the FCI, the application status byte, the SELECTs of the dialogue bracket.
TEST_F(ServiceIntegration, BankApplication) {
  sim_.Reinsert({"app-status 5A"});
  TQorTerminalAppletService service;
  service.Open(kReader);
  sim_.ResetCounts();
  int32_t state = 0;
  ASSERT_TRUE(WaitFor([&] {
    state = service.GetCardStatus();
    return state != TQorTerminalAppletService::StateNoCard;
  }));
  EXPECT_EQ(state, TQorTerminalAppletService::StateCardReady);
  EXPECT_EQ(service.GetVersionRelease(), 0x0102);
  EXPECT_EQ(sim_.Count("A4"), 3);  // the bracket's SELECT, the one for the FCI, the closing one
  EXPECT_FALSE(service.InTransaction());
  EXPECT_EQ(service.GetApplicationStatus(), 0x5A);
  EXPECT_FALSE(service.InTransaction());

  sim_.Remove();
  ASSERT_TRUE(
      WaitFor([&] { return service.GetCardStatus() == TQorTerminalAppletService::StateNoCard; }));
  EXPECT_EQ(service.GetVersionRelease(), 0);
  sim_.Insert();
  sim_.Expect("version 0305");
  ASSERT_TRUE(WaitFor(
      [&] { return service.GetCardStatus() == TQorTerminalAppletService::StateCardReady; }));
  EXPECT_EQ(service.GetVersionRelease(), 0x0305);
}

TEST_F(ServiceIntegration, BankApplicationThatCannotBeSelected) {
  sim_.Reinsert({"select-fail"});
  TQorTerminalAppletService service;
  service.Open(kReader);
  int32_t status = 0;
  ASSERT_TRUE(WaitFor([&] {
    status = StatusOf([&] { service.GetCardStatus(); });
    return status != 0;
  }));
  EXPECT_EQ(status, aps::kSelectFailed);
  sim_.ResetCounts();
  EXPECT_EQ(service.GetCardStatus(), TQorTerminalAppletService::StateCardReady);
  EXPECT_EQ(sim_.Count("A4"), 0);
  EXPECT_FALSE(service.InTransaction());
}

// pcscd stopped under an open reader: the next call fails with a PC/SC status at once, and
// Close then Open work with the pcscd that replaced it.
TEST_F(ServiceIntegration, PcscdKilledAndRestarted) {
  if (Harness("pcscd-ours") != 0) {
    GTEST_SKIP() << "pcscd was already running when the harness started: it is not ours to "
                    "kill, so this case does not run";
  }
  TQorTerminalAppletService service;
  service.Open(kReader);
  ASSERT_TRUE(WaitFor(
      [&] { return service.GetCardStatus() == TQorTerminalAppletService::StateCardReady; }));
  ASSERT_EQ(Harness("pcscd-kill"), 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(StatusOf([&] { service.GetCardStatus(); }), 0x10000 | sd::kExternal);
  EXPECT_NE(StatusOf([&] { service.GetApplicationStatus(); }), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  ASSERT_EQ(Harness("pcscd-start"), 0);
  service.Close();
  service.Open(kReader);
  ASSERT_TRUE(WaitFor(
      [&] { return service.GetCardStatus() == TQorTerminalAppletService::StateCardReady; }));
  EXPECT_EQ(service.GetApplicationStatus(), 0x01);
}

}  // namespace
}  // namespace qorx::integration
