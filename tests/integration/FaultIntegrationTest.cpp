// Faults through the real stack (our slot, pcscd, vpcd and the simulator): the card pulled out
// after each command of every card operation, pcscd restarted under an open reader, a second
// application on the same card, and readers that do not exist.

#include <PCSC/winscard.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "applet/QorTerminalAppletService.h"
#include "core/Exceptions.h"
#include "tests/integration/IntegrationSupport.h"
#include "tests/support/TestSupport.h"
#include "transport/pcsc/SmartCardSlotPCSC.h"

namespace qorx::integration {
namespace {

using test::Hex;
using test::StatusOf;
using S = TQorTerminalAppletService;

constexpr const char* kToday = "2026/12/08";
constexpr const char* kPin = "1234";
constexpr auto kCallLimit = std::chrono::seconds(20);

// Runs `call` with a bound: a call that hangs fails the test instead of the run. The thread
// is left to end on its own (detached through the future's shared state) if it does hang.
int32_t Bounded(const std::function<void()>& call) {
  auto task = std::make_shared<std::packaged_task<int32_t()>>([call] { return StatusOf(call); });
  std::future<int32_t> result = task->get_future();
  std::thread([task] { (*task)(); }).detach();
  if (result.wait_for(kCallLimit) != std::future_status::ready) {
    ADD_FAILURE() << "the call did not return within " << kCallLimit.count() << " s";
    std::_Exit(1);  // the service is still in use by the hung call
  }
  return result.get();
}

// A second PC/SC client of our own: connects to the card and begins a transaction, which it
// must get at once when nobody holds the card.
class OtherClient {
 public:
  OtherClient() { SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_); }
  ~OtherClient() {
    if (card_ != 0) SCardDisconnect(card_, SCARD_LEAVE_CARD);
    if (context_ != 0) SCardReleaseContext(context_);
  }
  bool Connect() {
    DWORD protocol = 0;
    return SCardConnect(context_, kReader, SCARD_SHARE_SHARED,
                        SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card_,
                        &protocol) == SCARD_S_SUCCESS;
  }
  LONG Begin() { return SCardBeginTransaction(card_); }
  LONG End() { return SCardEndTransaction(card_, SCARD_LEAVE_CARD); }

 private:
  SCARDCONTEXT context_ = 0;
  SCARDHANDLE card_ = 0;
};

// Whether another client begins a transaction on the card within a second.
bool OtherClientBeginsAtOnce() {
  auto task = std::make_shared<std::packaged_task<bool()>>([] {
    OtherClient other;
    if (!other.Connect()) return false;
    const bool begun = other.Begin() == SCARD_S_SUCCESS;
    if (begun) other.End();
    return begun;
  });
  std::future<bool> result = task->get_future();
  std::thread([task] { (*task)(); }).detach();
  if (result.wait_for(std::chrono::seconds(3)) != std::future_status::ready) return false;
  return result.get();
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override { Ready(); }
  void TearDown() override {
    if (service_.Slot() != nullptr) service_.Close();
  }

  void Ready() {
    if (service_.Slot() != nullptr) service_.Close();
    sim_.Reinsert();
    service_.Open(kReader);
    ASSERT_TRUE(WaitFor([&] { return service_.GetCardStatus() == S::StateCardReady; }));
  }
  // The state an operation needs, on a card just put back.
  void Prepare(int32_t state) {
    ASSERT_TRUE(WaitFor([&] {
      return StatusOf([&] { service_.GetCardStatus(); }) == 0 &&
             service_.ApplicationState() <= S::StateCardReady;
    }));
    if (state <= S::StateCardAuthenticated) {
      ASSERT_EQ(StatusOf([&] { service_.CardAuthenticate(kToday); }), 0);
    }
    if (state == S::StateSecretCodeVerified) {
      ASSERT_EQ(StatusOf([&] { service_.CardVerifySecretCode(kPin); }), 0);
    }
  }

  Simulator sim_;
  S service_;
};

struct Operation {
  const char* name;
  int32_t needs;
  std::function<void(S&)> run;
};

// Every card operation, cut off after each of its commands: each call ends with a status,
// the next poll reads 1028, nobody is kept off the card, and once it is back the same
// operation succeeds.
TEST_F(Faults, CardPulledAfterEachCommandOfEveryOperation) {
  const Operation operations[] = {
      {"authentication", S::StateCardReady, [](S& s) { s.CardAuthenticate(kToday); }},
      {"secret code", S::StateCardAuthenticated, [](S& s) { s.CardVerifySecretCode(kPin); }},
      {"secret code change", S::StateCardAuthenticated,
       [](S& s) { s.ChangeSecretCode(kPin, kPin); }},
      {"signing", S::StateSecretCodeVerified,
       [](S& s) { s.SignTransaction(TSDByteArray("Pay 100.00 to 12345-6")); }},
      {"secure channel", S::StateCardReady,
       [](S& s) {
         const TSDByteArray challenge = Hex("0102030405060708");
         s.SecureChannelInit(&challenge, 1);
         if (s.SecureChannelExecScript(Hex("7107860584DA000000")) != 0x9000)
           throw EAPSException(0x0101);
         s.GetPinTryCounter();  // the next operation ends the channel's dialogue
       }},
  };
  for (const Operation& op : operations) {
    SCOPED_TRACE(op.name);
    Prepare(op.needs);
    sim_.ResetCounts();
    ASSERT_EQ(Bounded([&] { op.run(service_); }), 0);
    const int commands = sim_.Count("");
    ASSERT_GT(commands, 1);
    for (int after = 1; after < commands; ++after) {
      SCOPED_TRACE("removed after command " + std::to_string(after));
      Prepare(op.needs);
      sim_.Expect("remove-after " + std::to_string(after));
      EXPECT_NE(Bounded([&] { op.run(service_); }), 0);
      ASSERT_TRUE(WaitFor([&] { return sim_.StatusHas("inserted=0 connected=0"); }));
      EXPECT_TRUE(WaitFor([&] {
        return StatusOf([&] { service_.GetCardStatus(); }) == 0 &&
               service_.ApplicationState() == S::StateNoCard;
      })) << service_.ApplicationState();
      EXPECT_FALSE(service_.InTransaction());
      sim_.Insert();
      EXPECT_TRUE(OtherClientBeginsAtOnce()) << "a PC/SC transaction stayed held";
    }
    Prepare(op.needs);
    EXPECT_EQ(Bounded([&] { op.run(service_); }), 0) << "after re-insertion";
  }
}

// pcscd killed and started again under an open reader with an authenticated card: the next
// status query answers 1026 without Close and Open; a signature under way when it goes fails,
// and the next one after authentication works.
TEST_F(Faults, PcscdRestartUnderAnOpenReader) {
  if (Harness("pcscd-ours") != 0) GTEST_SKIP() << "pcscd was not started by the harness";
  Prepare(S::StateCardAuthenticated);
  ASSERT_EQ(Harness("pcscd-restart"), 0);
  EXPECT_EQ(Bounded([&] { EXPECT_EQ(service_.GetCardStatus(), S::StateCardReady); }), 0);

  Prepare(S::StateSecretCodeVerified);
  // Signatures one after the other while pcscd goes away and comes back.
  std::atomic<bool> restarted{false};
  std::thread restart([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Harness("pcscd-restart");
    restarted = true;
  });
  int32_t status = 0;
  while (status == 0 && !restarted)
    status = Bounded([&] { service_.SignTransaction(TSDByteArray("Pay 1.00")); });
  restart.join();
  EXPECT_NE(status, 0) << "no signature failed while pcscd restarted";
  Prepare(S::StateSecretCodeVerified);
  EXPECT_EQ(Bounded([&] { service_.SignTransaction(TSDByteArray("Pay 1.00")); }), 0);
}

// One banking session of `rounds` signatures: the status of each round.
std::vector<int32_t> Session(S& s, int rounds) {
  std::vector<int32_t> statuses;
  s.Open(kReader);
  for (int i = 0; i < rounds; ++i) {
    statuses.push_back(StatusOf([&] {
      WaitFor([&] { return s.GetCardStatus() <= S::StateCardReady; });
      s.CardAuthenticate(kToday);
      s.CardVerifySecretCode(kPin);
      s.SignTransaction(TSDByteArray(("Pay " + std::to_string(i)).c_str()));
      s.CardLogout();
    }));
  }
  s.Close();
  return statuses;
}
constexpr int kRounds = 25;

// The second application: this binary run again by TwoApplicationsOnOneCard.
TEST(SecondApplication, Session) {
  if (std::getenv("QORX_SECOND_APPLICATION") == nullptr) GTEST_SKIP() << "run by another test";
  S service;
  EXPECT_EQ(Session(service, kRounds), std::vector<int32_t>(kRounds, 0));
}

// Two processes on one card: each operation's transaction keeps the other's commands out,
// neither sees the other's failures, both finish their sessions.
TEST_F(Faults, TwoApplicationsOnOneCard) {
  service_.Close();
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  std::future<int> other = std::async(std::launch::async, [&] {
    return std::system(("QORX_SECOND_APPLICATION=1 timeout 120 '" + std::string(self) +
                        "' --gtest_filter=SecondApplication.Session >&2")
                           .c_str());
  });
  EXPECT_EQ(Session(service_, kRounds), std::vector<int32_t>(kRounds, 0));
  EXPECT_EQ(other.get(), 0) << "the other application failed";
  service_.Open(kReader);
}

// Another application holding its transaction keeps an operation waiting a bounded time
// only: it fails with the sharing violation, and works once the other lets go.
TEST_F(Faults, AnotherApplicationsTransactionIsWaitedForBounded) {
  OtherClient other;
  ASSERT_TRUE(other.Connect());
  ASSERT_EQ(other.Begin(), SCARD_S_SUCCESS);
  const auto start = std::chrono::steady_clock::now();
  const int32_t status = Bounded([&] { service_.GetPinTryCounter(); });
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(status, 0x10000 | sd::kExternal);
  EXPECT_GE(waited, std::chrono::milliseconds(TSDSVCSmartCardSlotPCSC::kSharingWaitMs));
  EXPECT_LT(waited, std::chrono::milliseconds(TSDSVCSmartCardSlotPCSC::kSharingWaitMs + 2000));
  EXPECT_EQ(service_.ApplicationState(), S::StateCardReady) << "the card is still ours to use";
  EXPECT_EQ(other.End(), SCARD_S_SUCCESS);
  EXPECT_EQ(Bounded([&] { service_.GetPinTryCounter(); }), 0);
}

// A reader name pcscd does not know fails to open; the default reader still opens.
TEST_F(Faults, UnknownReaderFailsAndTheDefaultOpens) {
  service_.Close();
  EXPECT_GE(service_.GetReaderCount(), 2);
  EXPECT_STREQ(service_.GetReaderName(1).CStr(), kSecondReader);
  EXPECT_EQ(StatusOf([&] { service_.Open("Virtual PCD 00 07"); }), aps::kReaderOpenFailed);
  EXPECT_EQ(StatusOf([&] { service_.Open(kSecondReader); }), 0);
  EXPECT_EQ(service_.GetCardStatus(), S::StateNoCard);
  service_.Close();
  EXPECT_EQ(StatusOf([&] { service_.Open("DEFAULT"); }), 0);
  EXPECT_STREQ(service_.GetActiveReader().CStr(), kReader);
}

}  // namespace
}  // namespace qorx::integration
