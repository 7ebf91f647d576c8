// The card application over the real stack (our PC/SC slot, pcscd, the vpcd reader and the
// card simulator): the state checks by state, the application status and version variants,
// and above all that no operation, failed or not, leaves the card locked for other clients.

#include <PCSC/winscard.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "applet/QorTerminalAppletService.h"
#include "core/Exceptions.h"
#include "tests/integration/IntegrationSupport.h"
#include "tests/integration/SecondClient.h"
#include "tests/support/TestSupport.h"

namespace qorx::integration {
namespace {

using test::StatusOf;

using S = TQorTerminalAppletService;

class TestService : public TQorTerminalAppletService {
 public:
  ~TestService() override = default;
  using TQorTerminalAppletService::SetApplicationState;
  TSDByteArray& CachedCode() { return cachedSecretCode_; }
  std::function<void()> onVerify;

 protected:
  void VerifyCachedSecretCode() override {
    if (onVerify) onVerify();
  }
};

class QorServiceSimulator : public ::testing::Test {
 protected:
  void SetUp() override { sim_.Reinsert(); }

  // Opens the reader and waits until the service has identified the card.
  void OpenReady(TestService& service) {
    service.Open(kReader);
    ASSERT_TRUE(WaitFor([&] { return service.GetCardStatus() == S::StateCardReady; }));
  }

  bool OtherClientGetsThrough(TestService& service) {
    return integration::OtherClientGetsThrough([&] {
      if (service.Slot() != nullptr) service.Close();
    });
  }

  Simulator sim_;
};

// What each state refuses, on a real card, mute card and empty reader; a refused operation
// sends nothing, and neither a passed nor a refused check leaves the card locked.
TEST_F(QorServiceSimulator, StateChecks) {
  struct Case {
    const char* name;
    std::vector<std::string> card;  // simulator options; "out" = no card
    int32_t state;                  // set after the card was seen; 0 = as found
    int32_t expected[3];            // RequireState(1024), (1025), (1026)
  };
  const Case cases[] = {
      {"verified", {}, S::StateSecretCodeVerified, {0, 0, 0}},
      {"authenticated", {}, S::StateCardAuthenticated, {aps::kStateCardAuthenticated, 0, 0}},
      {"ready", {}, 0, {aps::kStateCardReady, aps::kStateCardReady, 0}},
      {"mute", {"mute"}, 0, {aps::kNoCard, aps::kNoCard, aps::kNoCard}},
      {"no card", {"out"}, 0, {aps::kNoCard, aps::kNoCard, aps::kNoCard}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.card == std::vector<std::string>{"out"}) {
      sim_.Remove();
    } else {
      sim_.Reinsert(c.card);
    }
    TestService service;
    service.Open(kReader);
    const int32_t seen = c.state == 0 ? S::StateCardReady : c.state;
    const int32_t found = c.card.empty()        ? S::StateCardReady
                          : c.card[0] == "mute" ? S::StateCardMute
                                                : S::StateNoCard;
    ASSERT_TRUE(WaitFor([&] { return service.GetCardStatus() == found; }));
    if (c.state != 0) service.SetApplicationState(seen);
    for (int r = 0; r < 3; ++r) {
      const int32_t required = S::StateSecretCodeVerified + r;
      SCOPED_TRACE(required);
      sim_.ResetCounts();
      EXPECT_EQ(StatusOf([&] { service.RequireState(required); }), c.expected[r]);
      if (c.expected[r] == 0) {
        EXPECT_EQ(sim_.Count("A4"), 1);
        service.EndCardDialogue();
        EXPECT_EQ(sim_.Count("A4"), 2);
      } else if (found != S::StateNoCard) {
        EXPECT_EQ(sim_.Count(""), 0) << "a refused operation reached the card";
      }
      EXPECT_FALSE(service.InTransaction());
    }
    if (found == S::StateCardReady) {
      EXPECT_TRUE(OtherClientGetsThrough(service));
    }
  }
}

// Failures at each point of a card dialogue: the card is free for others afterwards.
TEST_F(QorServiceSimulator, NoFailureLeavesTheCardLocked) {
  struct Case {
    const char* name;
    std::vector<std::string> card;
    std::function<void(TestService&)> operation;
    int32_t status;
  };
  const Case cases[] = {
      {"application status", {}, [](TestService& s) { EXPECT_EQ(s.GetApplicationStatus(), 1); }, 0},
      {"GET_FCI refused",
       {"respond 80F2:6A88"},
       [](TestService& s) { s.GetApplicationStatus(); },
       0x10000 | sd::kExternal},
      {"GET_FCI without data",
       {"app-status none"},
       [](TestService& s) { s.GetApplicationStatus(); },
       0x10000 | sd::kMalformed},
      {"secret code verification fails inside the entry",
       {},
       [](TestService& s) {
         s.SetApplicationState(S::StateSecretCodeVerified);
         s.onVerify = [] { throw EAPSException(aps::kSecretCodeBlocked); };
         s.RequireState(S::StateSecretCodeVerified);
       },
       aps::kSecretCodeBlocked},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim_.Reinsert(c.card);
    TestService service;
    OpenReady(service);
    EXPECT_EQ(StatusOf([&] { c.operation(service); }), c.status);
    EXPECT_FALSE(service.InTransaction());
    EXPECT_TRUE(OtherClientGetsThrough(service));
  }

  // A card whose application cannot be selected: identification fails, the card stays free.
  sim_.Reinsert({"select-fail"});
  TestService service;
  service.Open(kReader);
  int32_t status = 0;
  ASSERT_TRUE(WaitFor([&] {
    status = StatusOf([&] { service.GetCardStatus(); });
    return status != 0;
  }));
  EXPECT_EQ(status, aps::kSelectFailed);
  EXPECT_TRUE(OtherClientGetsThrough(service));
  EXPECT_EQ(StatusOf([&] { service.GetApplicationStatus(); }), aps::kSelectFailed);
  EXPECT_TRUE(OtherClientGetsThrough(service));
}

TEST_F(QorServiceSimulator, VersionFromTheFci) {
  struct Case {
    const char* option;
    uint16_t version;
  };
  const Case cases[] = {
      {"version 0102", 0x0102},
      {"version 123456", 0x1234},
      {"version none", 0},
      {"version 07", 0},  // one byte is not a version
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option);
    sim_.Reinsert({c.option});
    TestService service;
    OpenReady(service);
    EXPECT_EQ(service.GetVersionRelease(), c.version);
    service.Close();
    EXPECT_EQ(service.GetVersionRelease(), 0);
  }
}

TEST_F(QorServiceSimulator, LogoutSendsNothing) {
  TestService service;
  OpenReady(service);
  service.SetApplicationState(S::StateSecretCodeVerified);
  service.CachedCode() = TSDByteArray(16);
  sim_.ResetCounts();
  service.CardLogout();
  EXPECT_EQ(service.ApplicationState(), S::StateCardAuthenticated);
  EXPECT_TRUE(service.CachedCode().IsEmpty());
  service.CardLogout();
  EXPECT_EQ(service.ApplicationState(), S::StateCardAuthenticated);
  EXPECT_EQ(sim_.Count(""), 0);
}

}  // namespace
}  // namespace qorx::integration
