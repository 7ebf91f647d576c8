// The card application's state machine and dialogue bracket over the real PC/SC slot and the
// fake PC/SC library: what goes to the card, in which order, and that every PC/SC
// transaction begun is also ended, whatever fails.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "applet/ApplicationIdentifier.h"
#include "applet/IssuerKeys.h"
#include "applet/QorTerminalAppletService.h"
#include "crypto/KeyComponents.h"
#include "crypto/KeyVault.h"
#include "tests/support/TestSupport.h"
#include "tests/transport/pcsc/FakePCSC.h"
#include "transport/pcsc/SmartCardSlotPCSC.h"

namespace qorx {
namespace {

using test::StatusOf;

using testing::CatchSD;
using testing::Fake;
using testing::UsePCSCLibrary;
using Bytes = std::vector<unsigned char>;
using S = TQorTerminalAppletService;

const Bytes kAtr = {0x3B, 0x88, 0x01, 0x51, 0x6F, 0x72, 0x58, 0x53, 0x69, 0x6D, 0x31, 0xFB};
const Bytes kAid(kApplicationAid, kApplicationAid + sizeof kApplicationAid);
const Bytes kOk = {0x90, 0x00};

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Tlv(int tag, const Bytes& value) {
  Bytes out;
  if (tag > 0xFF) out.push_back(static_cast<unsigned char>(tag >> 8));
  out.push_back(static_cast<unsigned char>(tag));
  out.push_back(static_cast<unsigned char>(value.size()));
  return Concat(out, value);
}

// The bank application's FCI with `version` as tag 9F08 (none: tag left out), and 9000.
Bytes FciResponse(const std::optional<Bytes>& version = Bytes{0x01, 0x02}) {
  const Bytes proprietary = version ? Tlv(0x9F08, *version) : Bytes{};
  return Concat(Tlv(0x6F, Concat(Tlv(0x84, kAid), Tlv(0xA5, proprietary))), kOk);
}

const Bytes kSelectCommand = Concat(Concat({0x00, 0xA4, 0x04, 0x00, 0x07}, kAid), {0x00});
const Bytes kGetFciCommand = Concat(Concat({0x80, 0xF2, 0x40, 0x00, 0x07}, kAid), {0x00});

// Exposes what the card operations of other files use, and records secret-code checks.
class TestService : public TQorTerminalAppletService {
 public:
  TestService() = default;
  using TQorTerminalAppletService::RunCardDialogue;
  using TQorTerminalAppletService::SetApplicationState;
  TSDByteArray& CachedCode() { return cachedSecretCode_; }
  TSDByteArray& Certificate() { return certificate_; }
  TSDByteArray& CardPublicKey() { return cardPublicKey_; }

  int verifications = 0;
  std::function<void()> onVerify;

 protected:
  void VerifyCachedSecretCode() override {
    ++verifications;
    if (onVerify) onVerify();
  }
};

class QorServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Fake().Loaded());
    UsePCSCLibrary(QORX_FAKE_PCSC_PATH);
    Fake().Reset();
    Fake().SetReaders(std::string("Reader A\0\0", 10));
    service_.reset(new TestService());
  }
  void TearDown() override {
    service_.reset();
    EXPECT_EQ(Fake().OpenContexts(), 0) << "context leaked";
    EXPECT_EQ(Fake().OpenCards(), 0) << "card handle leaked";
  }

  // Every transaction begun has been ended, and the service knows it holds none.
  void ExpectNoTransaction() {
    EXPECT_EQ(Fake().CallCount("SCardBeginTransaction"), Fake().CallCount("SCardEndTransaction"))
        << "a PC/SC transaction was left open";
    EXPECT_FALSE(service_->InTransaction());
  }

  // Open with the bank card identified (state 1026) and the record of commands cleared.
  TestService& Ready(const std::optional<Bytes>& version = Bytes{0x01, 0x02}) {
    Fake().InsertCard(kAtr);
    service_->Open(nullptr);
    for (int i = 0; i < 3; ++i) Fake().QueueResponse(FciResponse(version));
    EXPECT_EQ(service_->GetCardStatus(), S::StateCardReady);
    sentBefore_ = Fake().SentCount();
    return *service_;
  }

  std::vector<Bytes> SentSinceReady() {
    std::vector<Bytes> sent;
    for (int i = sentBefore_; i < Fake().SentCount(); ++i) sent.push_back(Fake().Sent(i));
    return sent;
  }

  std::unique_ptr<TestService> service_;
  int sentBefore_ = 0;
};

TEST_F(QorServiceTest, ConstructionLoadsTheCacheKeyAndTheIssuerKeys) {
  EXPECT_EQ(service_->ApplicationState(), S::StateNoCard);
  EXPECT_EQ(service_->GetVersionRelease(), 0);
  EXPECT_EQ(service_->Application().length, 7);
  EXPECT_EQ(Bytes(service_->Application().aid, service_->Application().aid + 7), kAid);

  TSDKeyNode* cache = service_->CacheKey();
  ASSERT_NE(cache, nullptr);
  EXPECT_EQ(cache->Type(), keytype::kSecret);
  EXPECT_EQ(cache->KeyLength(), 16);
  EXPECT_EQ(Bytes(cache->Identifier(), cache->Identifier() + 16), Bytes(16, 0));
  int length = 0;
  const uint8_t* secret = FindComponent(cache->Material(), keytag::kSecretKey, &length);
  ASSERT_NE(secret, nullptr);
  ASSERT_EQ(length, 16);
  EXPECT_NE(Bytes(secret, secret + 16), Bytes(16, 0));

  // A second service draws its own cache key.
  TestService other;
  const uint8_t* otherSecret =
      FindComponent(other.CacheKey()->Material(), keytag::kSecretKey, &length);
  EXPECT_NE(std::memcmp(secret, otherSecret, 16), 0);

  const Bytes expectedExponents[] = {{0x03}, {0x01, 0x00, 0x01}, {0x01, 0x00, 0x01}};
  for (int version = 1; version <= 3; ++version) {
    SCOPED_TRACE(version);
    uint8_t id[kKeyIdentifierLength];
    S::IssuerKeyIdentifier(static_cast<uint8_t>(version), id);
    EXPECT_EQ(Bytes(id, id + 16),
              Bytes({0xA0, 0x00, 0x00, 0x09, 0x51, 0xFF, 0x22, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
                     0x57, static_cast<uint8_t>(version), 0x01}));
    TSDKeyNodeRef key(service_->KeySet().FindKey(id));
    ASSERT_TRUE(key);
    EXPECT_EQ(key->Type(), keytype::kRsaPublic);
    EXPECT_EQ(key->KeyLength(), 128);
    const IssuerKey& issuer = kIssuerKeys[version - 1];
    EXPECT_EQ(issuer.version, version);
    EXPECT_EQ(issuer.length, version == 1 ? 133 : 135);
    EXPECT_EQ(Bytes(key->Material().Data(), key->Material().Data() + key->Material().Length()),
              Bytes(issuer.blob, issuer.blob + issuer.length));
    int exponentLength = 0;
    const uint8_t* exponent =
        FindComponent(key->Material(), keytag::kPublicExponent, &exponentLength);
    ASSERT_NE(exponent, nullptr);
    EXPECT_EQ(Bytes(exponent, exponent + exponentLength), expectedExponents[version - 1]);
    EXPECT_EQ(ComponentLength(key->Material(), keytag::kPublicModulus), 128);
  }
}

TEST_F(QorServiceTest, CardStatusFollowsReaderAndCard) {
  EXPECT_EQ(StatusOf([&] { service_->GetCardStatus(); }), aps::kNoReaderOpen);
  service_->Open(nullptr);
  EXPECT_EQ(service_->GetCardStatus(), S::StateNoCard);
  EXPECT_EQ(Fake().SentCount(), 0);
  service_->Close();
  EXPECT_EQ(StatusOf([&] { service_->GetCardStatus(); }), aps::kNoReaderOpen);
}

TEST_F(QorServiceTest, InsertionSelectsThreeTimesAndReadsTheVersion) {
  Ready();
  ASSERT_EQ(Fake().SentCount(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Fake().Sent(i), kSelectCommand) << i;
  EXPECT_EQ(service_->GetVersionRelease(), 258);
  EXPECT_EQ(Fake().CallCount("SCardBeginTransaction"), 1u);
  ExpectNoTransaction();
  // The card stays: nothing more is sent.
  EXPECT_EQ(service_->GetCardStatus(), S::StateCardReady);
  EXPECT_EQ(Fake().SentCount(), 3);
}

TEST_F(QorServiceTest, VersionFromTag9F08) {
  struct Case {
    const char* name;
    std::optional<Bytes> version;
    uint16_t expected;
  };
  const Case cases[] = {
      {"two bytes", Bytes{0x01, 0x02}, 258},
      {"longer: the first two count", Bytes{0x12, 0x34, 0x56}, 0x1234},
      {"absent", std::nullopt, 0},
      {"empty", Bytes{}, 0},
      // One byte holds no complete version: nothing is read past it.
      {"one byte", Bytes{0x07}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fake().Reset();
    Fake().SetReaders(std::string("Reader A\0\0", 10));
    service_.reset(new TestService());
    Ready(c.version);
    EXPECT_EQ(service_->GetVersionRelease(), c.expected);
    EXPECT_EQ(service_->ApplicationState(), S::StateCardReady);
    ExpectNoTransaction();
    service_->Close();
    EXPECT_EQ(service_->GetVersionRelease(), 0);
  }
}

// Identification fails at each of its SELECTs in turn, or on a malformed FCI: the failure
// leaves GetCardStatus with its own code, the state is 1026, the transaction is ended, and
// the next GetCardStatus sends nothing.
TEST_F(QorServiceTest, FailedIdentification) {
  struct Case {
    const char* name;
    std::vector<Bytes> responses;
    int32_t status;
    uint16_t sdCode;
    uint16_t version;  // read before the failure, or not
  };
  const Bytes fci = FciResponse();
  const Bytes notFound = {0x6A, 0x82};
  const Case cases[] = {
      {"entry SELECT not found", {notFound, notFound}, aps::kSelectFailed, 0, 0},
      {"entry SELECT invalidated", {{0x62, 0x83}, notFound}, aps::kSelectInvalidated, 0, 0},
      {"FCI SELECT fails", {fci, notFound, notFound}, aps::kSelectFailed, 0, 0},
      {"closing SELECT fails", {fci, fci, notFound}, aps::kSelectFailed, 0, 258},
      {"malformed FCI", {fci, Concat({0x6F, 0x05, 0x84}, kOk), fci}, 0, sd::kMalformed, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fake().Reset();
    Fake().SetReaders(std::string("Reader A\0\0", 10));
    service_.reset(new TestService());
    Fake().InsertCard(kAtr);
    service_->Open(nullptr);
    for (const Bytes& r : c.responses) Fake().QueueResponse(r);
    if (c.sdCode != 0) {
      EXPECT_EQ(CatchSD([&] { service_->GetCardStatus(); }).code, c.sdCode);
    } else {
      EXPECT_EQ(StatusOf([&] { service_->GetCardStatus(); }), c.status);
    }
    EXPECT_EQ(service_->ApplicationState(), S::StateCardReady);
    EXPECT_EQ(service_->GetVersionRelease(), c.version);
    ExpectNoTransaction();
    const int sent = Fake().SentCount();
    EXPECT_EQ(service_->GetCardStatus(), S::StateCardReady);
    EXPECT_EQ(Fake().SentCount(), sent);
  }
}

// What RequireState does in each state for each requirement: the code raised (0: passes),
// checked before anything is sent or any transaction begun.
TEST_F(QorServiceTest, RequireStateByState) {
  const int32_t states[] = {1024, 1025, 1026, 1027, 1028, 1029};
  const int32_t requirements[] = {1024, 1025, 1026, 1027, 1028};
  // kExpected[state][requirement]
  const int32_t kExpected[6][5] = {
      {0, 0, 0, 0, 0},
      {aps::kStateCardAuthenticated, 0, 0, 0, 0},
      {aps::kStateCardReady, aps::kStateCardReady, 0, 0, 0},
      {aps::kNoCard, aps::kNoCard, aps::kNoCard, 0, 0},
      {aps::kNoCard, aps::kNoCard, aps::kNoCard, aps::kNoCard, 0},
      {aps::kStateOther, aps::kStateOther, aps::kStateOther, aps::kStateOther, aps::kStateOther},
  };
  Ready();
  for (int s = 0; s < 6; ++s) {
    for (int r = 0; r < 5; ++r) {
      SCOPED_TRACE("state " + std::to_string(states[s]) + " requires " +
                   std::to_string(requirements[r]));
      service_->SetApplicationState(states[s]);
      const int sent = Fake().SentCount();
      const unsigned long begun = Fake().CallCount("SCardBeginTransaction");
      const int verified = service_->verifications;
      const bool entered = kExpected[s][r] == 0 && requirements[r] <= S::StateCardReady;
      if (entered) Fake().QueueResponse(FciResponse());
      EXPECT_EQ(StatusOf([&] { service_->RequireState(requirements[r]); }), kExpected[s][r]);
      EXPECT_EQ(Fake().SentCount() - sent, entered ? 1 : 0);
      EXPECT_EQ(Fake().CallCount("SCardBeginTransaction") - begun, entered ? 1u : 0u);
      EXPECT_EQ(service_->verifications - verified,
                kExpected[s][r] == 0 && requirements[r] == S::StateSecretCodeVerified ? 1 : 0);
      if (entered) {
        EXPECT_EQ(Fake().Sent(Fake().SentCount() - 1), kSelectCommand);
        EXPECT_TRUE(service_->InTransaction());
        Fake().QueueResponse(FciResponse());
        service_->EndCardDialogue();
      }
      ExpectNoTransaction();
    }
  }
}

// A failure inside RequireState after the transaction began ends the transaction itself,
// since no EndCardDialogue follows a failed entry.
TEST_F(QorServiceTest, FailedEntryEndsTheTransaction) {
  Ready();
  Fake().QueueResponse({0x6A, 0x82});
  EXPECT_EQ(StatusOf([&] { service_->RequireState(S::StateCardReady); }), aps::kSelectFailed);
  ExpectNoTransaction();

  service_->SetApplicationState(S::StateSecretCodeVerified);
  service_->onVerify = [] { throw EAPSException(aps::kSecretCodeRejected); };
  Fake().QueueResponse(FciResponse());
  EXPECT_EQ(StatusOf([&] { service_->RequireState(S::StateSecretCodeVerified); }),
            aps::kSecretCodeRejected);
  EXPECT_EQ(service_->verifications, 1);
  ExpectNoTransaction();
}

TEST_F(QorServiceTest, EndCardDialogue) {
  Ready();
  // A failing re-selection still ends the transaction; its failure leaves.
  Fake().QueueResponse(FciResponse());
  service_->RequireState(S::StateCardReady);
  Fake().QueueResponse({0x62, 0x83});
  EXPECT_EQ(StatusOf([&] { service_->EndCardDialogue(); }), aps::kSelectInvalidated);
  ExpectNoTransaction();

  // Without a usable card nothing is sent.
  for (int32_t state : {S::StateCardMute, S::StateNoCard}) {
    service_->SetApplicationState(state);
    const int sent = Fake().SentCount();
    service_->EndCardDialogue();
    EXPECT_EQ(Fake().SentCount(), sent);
  }
  ExpectNoTransaction();
}

TEST_F(QorServiceTest, OperationFailureEndsTheDialogueWithTheFirstFailure) {
  Ready();
  Fake().QueueResponse(FciResponse());
  Fake().QueueResponse({0x6A, 0x82});  // the closing SELECT fails too; that is dropped
  const auto raised = CatchSD([&] {
    service_->RunCardDialogue(S::StateCardReady, [] { QORX_RAISE(sd::kLength, "Test"); });
  });
  EXPECT_EQ(raised.code, sd::kLength);
  ExpectNoTransaction();
  EXPECT_EQ(SentSinceReady(), std::vector<Bytes>({kSelectCommand, kSelectCommand}));
}

TEST_F(QorServiceTest, MuteCardAndRemoval) {
  Fake().InsertMuteCard();
  service_->Open(nullptr);
  EXPECT_EQ(service_->GetCardStatus(), S::StateCardMute);
  CardInfo info;
  service_->GetCardInfo(info);
  EXPECT_EQ(info.length, 0);
  EXPECT_EQ(StatusOf([&] { service_->RequireState(S::StateCardReady); }), aps::kNoCard);
  // Still mute at the next look: dropped, reconnected, mute again.
  EXPECT_EQ(service_->GetCardStatus(), S::StateCardMute);
  EXPECT_EQ(Fake().SentCount(), 0);

  // The card answers after it was reinserted.
  Fake().RemoveCard();
  EXPECT_EQ(service_->GetCardStatus(), S::StateNoCard);
  Fake().InsertCard(kAtr);
  for (int i = 0; i < 3; ++i) Fake().QueueResponse(FciResponse(Bytes{0x00, 0x05}));
  EXPECT_EQ(service_->GetCardStatus(), S::StateCardReady);
  EXPECT_EQ(service_->GetVersionRelease(), 5);

  service_->SetApplicationState(S::StateSecretCodeVerified);
  service_->CachedCode() = TSDByteArray(16);
  service_->Certificate() = TSDByteArray("certificate");
  service_->CardPublicKey() = TSDByteArray("key");
  Fake().RemoveCard();
  EXPECT_EQ(service_->GetCardStatus(), S::StateNoCard);
  EXPECT_EQ(service_->GetVersionRelease(), 0);
  EXPECT_TRUE(service_->CachedCode().IsEmpty());
  EXPECT_TRUE(service_->Certificate().IsEmpty());
  EXPECT_TRUE(service_->CardPublicKey().IsEmpty());
  ExpectNoTransaction();
}

TEST_F(QorServiceTest, CardLogoutLeavesOnlyTheVerifiedState) {
  Ready();
  const int sent = Fake().SentCount();
  for (int32_t state : {S::StateCardAuthenticated, S::StateCardReady, S::StateCardMute,
                        S::StateNoCard, S::StateSecretCodeVerified}) {
    SCOPED_TRACE(state);
    service_->SetApplicationState(state);
    service_->CachedCode() = TSDByteArray(16);
    service_->CardLogout();
    const bool wasVerified = state == S::StateSecretCodeVerified;
    EXPECT_EQ(service_->ApplicationState(), wasVerified ? S::StateCardAuthenticated : state);
    EXPECT_EQ(service_->CachedCode().Length(), wasVerified ? 0 : 16);
  }
  EXPECT_EQ(Fake().SentCount(), sent);
}

TEST_F(QorServiceTest, ApplicationStatus) {
  struct Case {
    const char* name;
    Bytes response;
    int result;  // the status byte; -1 when an ESDException is expected
    uint16_t code;
    const char* message;
  };
  const Case cases[] = {
      {"last byte of the data", {0x9F, 0x08, 0x02, 0x01, 0x02, 0x01, 0x90, 0x00}, 1, 0, ""},
      {"one byte", {0x7F, 0x90, 0x00}, 0x7F, 0, ""},
      {"status word", {0x6A, 0x88}, -1, sd::kExternal, "APDU GET_FCI returned 6A88"},
      {"no data", {0x90, 0x00}, -1, sd::kMalformed, "APDU GET_FCI returned no data"},
  };
  Ready();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int first = Fake().SentCount();
    Fake().QueueResponse(FciResponse());
    Fake().QueueResponse(c.response);
    Fake().QueueResponse(FciResponse());
    int result = -1;
    const auto raised = CatchSD([&] { result = service_->GetApplicationStatus(); });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(raised.code, c.code);
    EXPECT_EQ(raised.message, c.message);
    if (c.code != 0) {
      EXPECT_EQ(raised.unit, "TerminalAppletServices");
    }
    ASSERT_EQ(Fake().SentCount() - first, 3);
    EXPECT_EQ(Fake().Sent(first), kSelectCommand);
    EXPECT_EQ(Fake().Sent(first + 1), kGetFciCommand);
    EXPECT_EQ(Fake().Sent(first + 2), kSelectCommand);
    ExpectNoTransaction();
    EXPECT_EQ(service_->ApplicationState(), S::StateCardReady);
  }
  Fake().RemoveCard();
  EXPECT_EQ(StatusOf([&] { service_->GetApplicationStatus(); }), aps::kNoCard);
}

TEST_F(QorServiceTest, CloseAndDestructionForgetTheCard) {
  Ready();
  service_->SetApplicationState(S::StateCardAuthenticated);
  service_->Certificate() = TSDByteArray("certificate");
  service_->Close();
  EXPECT_EQ(service_->ApplicationState(), S::StateNoCard);
  EXPECT_EQ(service_->GetVersionRelease(), 0);
  EXPECT_TRUE(service_->Certificate().IsEmpty());
  // Destroying a service with a reader open and a card connected gives both back (checked
  // in TearDown).
  Ready();
}

}  // namespace
}  // namespace qorx
