// The card application when readers come and go, the card leaves while it is identified and
// the PC/SC service restarts under an open reader (over the fake PC/SC library).

#include <PCSC/winscard.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "applet/ApplicationIdentifier.h"
#include "applet/QorTerminalAppletService.h"
#include "tests/support/TestSupport.h"
#include "tests/transport/pcsc/FakePCSC.h"

namespace qorx {
namespace {

using test::StatusOf;
using testing::Fake;
using testing::UsePCSCLibrary;
using Bytes = std::vector<unsigned char>;
using S = TQorTerminalAppletService;

const Bytes kAtr = {0x3B, 0x88, 0x01, 0x51, 0x6F, 0x72, 0x58, 0x53, 0x69, 0x6D, 0x31, 0xFB};

// The bank application's FCI (version 01 02) and 9000.
Bytes Fci() {
  Bytes fci = {0x6F, 0x15, 0x84, 0x07};
  fci.insert(fci.end(), kApplicationAid, kApplicationAid + sizeof kApplicationAid);
  const Bytes rest = {0xA5, 0x0A, 0x9F, 0x08, 0x02, 0x01, 0x02,
                      0x50, 0x03, 0x51, 0x6F, 0x72, 0x90, 0x00};
  fci.insert(fci.end(), rest.begin(), rest.end());
  return fci;
}

class Service : public S {
 public:
  using S::SetApplicationState;
};

class ServiceFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Fake().Loaded());
    UsePCSCLibrary(QORX_FAKE_PCSC_PATH);
    Fake().Reset();
    Fake().SetReaders(std::string("Reader A\0\0", 10));
    Fake().SetRepeatingResponse(Fci());
  }
  void TearDown() override {
    service_.reset();
    EXPECT_EQ(Fake().OpenContexts(), 0) << "context leaked";
    EXPECT_EQ(Fake().OpenCards(), 0) << "card handle leaked";
  }
  void Ready() {
    Fake().InsertCard(kAtr);
    service_->Open(nullptr);
    ASSERT_EQ(service_->GetCardStatus(), S::StateCardReady);
  }
  int Selects() {
    int n = 0;
    for (int i = 0; i < Fake().SentCount(); ++i) n += Fake().Sent(i).at(1) == 0xA4 ? 1 : 0;
    return n;
  }

  std::unique_ptr<Service> service_{new Service()};
};

// Reader A unplugged, reader B plugged in: the default reader is B, and the names are B's.
TEST_F(ServiceFaultTest, ReadersThatComeAndGoAreSeen) {
  EXPECT_EQ(service_->GetReaderCount(), 1);
  EXPECT_STREQ(service_->GetReaderName(0).CStr(), "Reader A");
  Fake().SetReaders(std::string("Reader B\0\0", 10));
  // pcscd no longer knows the reader the list still names.
  Fake().QueueResult("SCardGetStatusChange", SCARD_E_UNKNOWN_READER);
  EXPECT_EQ(StatusOf([&] { service_->Open("DEFAULT"); }), 0);
  EXPECT_STREQ(service_->GetActiveReader().CStr(), "Reader B");
  service_->Close();

  // A named reader that fails to open, and a refused Close, leave the list to be read again.
  Fake().SetReaders(std::string("Reader C\0\0", 10));
  Fake().QueueResult("SCardGetStatusChange", SCARD_E_UNKNOWN_READER);
  EXPECT_EQ(StatusOf([&] { service_->Open("Reader B"); }), aps::kReaderOpenFailed);
  EXPECT_STREQ(service_->GetReaderName(0).CStr(), "Reader C");
  Fake().SetReaders(std::string("Reader D\0\0", 10));
  EXPECT_EQ(StatusOf([&] { service_->Close(); }), aps::kNoReaderToClose);
  EXPECT_STREQ(service_->GetReaderName(0).CStr(), "Reader D");
}

long RemoveAtFirstCommand(const char* fn) {
  if (std::string(fn) == "SCardTransmit") Fake().RemoveCard();
  return SCARD_S_SUCCESS;
}

TEST_F(ServiceFaultTest, CardLeavingWhileIdentifiedIsNoCard) {
  Fake().InsertCard(kAtr);
  service_->Open(nullptr);
  Fake().SetResultHook(RemoveAtFirstCommand);
  EXPECT_NE(StatusOf([&] { service_->GetCardStatus(); }), 0);
  Fake().SetResultHook(nullptr);
  EXPECT_EQ(service_->ApplicationState(), S::StateNoCard);
  EXPECT_EQ(service_->GetCardStatus(), S::StateNoCard);
  EXPECT_FALSE(service_->InTransaction());
  Fake().InsertCard(kAtr);
  EXPECT_EQ(service_->GetCardStatus(), S::StateCardReady);
}

// After a restart the next card status query answers without Close and Open: the card is
// identified afresh (what was learnt of it is gone, authentication included).
TEST_F(ServiceFaultTest, RestartedServiceIsFollowedByTheNextStatusQuery) {
  Ready();
  service_->SetApplicationState(S::StateCardAuthenticated);
  const int selects = Selects();
  Fake().RestartService();
  EXPECT_EQ(service_->GetCardStatus(), S::StateCardReady);
  EXPECT_GT(Selects(), selects) << "the card was not identified again";
  EXPECT_EQ(Fake().OpenContexts(), 1);
  EXPECT_EQ(Fake().OpenCards(), 1);
}

// A restart in the middle of an operation fails that operation with its PC/SC status and
// leaves no transaction behind; the one after works.
TEST_F(ServiceFaultTest, RestartDuringAnOperationFailsItAndTheNextWorks) {
  Ready();
  Fake().QueueResult("SCardTransmit", SCARD_E_NO_SERVICE);
  EXPECT_EQ(StatusOf([&] { service_->GetApplicationStatus(); }), 0x10000 | sd::kExternal);
  EXPECT_FALSE(service_->InTransaction());
  EXPECT_EQ(service_->GetCardStatus(), S::StateCardReady);
  Fake().SetRepeatingResponse({0x6F, 0x01, 0x01, 0x90, 0x00});
  EXPECT_EQ(StatusOf([&] { service_->GetApplicationStatus(); }), 0);
}

}  // namespace
}  // namespace qorx
