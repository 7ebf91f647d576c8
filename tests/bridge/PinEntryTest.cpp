// The host's PIN dialog against pcscd and the simulator: each row's answers come from the
// scripted pinentry (tests/bridge/fake-pinentry), and the row says what the page gets, what
// the card saw and what the customer was shown.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/StatusCodes.h"
#include "tests/integration/IntegrationSupport.h"
#include "tools/bridge/Session.h"

namespace qorx::bridge {
namespace {

using integration::Simulator;

const std::string kBank = R"("origin":"https://bank.example")";

class PinEntry : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/qorx-pinentry-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    table_ = std::string(folder) + "/answers";
    setenv("QORX_FAKE_PINENTRY", table_.c_str(), 1);
  }
  void TearDown() override {
    (void)!std::system(("rm -rf " + table_.substr(0, table_.rfind('/'))).c_str());
  }

  // A session of a bank page with a fresh card (PIN 1234, 3 tries), authenticated.
  std::unique_ptr<Session> Open(PinEntryPolicy policy = PinEntryPolicy::PageOrHost,
                                const std::string& program = QORX_FAKE_PINENTRY_PATH) {
    sim_.Reinsert();
    OriginList origins;
    origins.Add("https://bank.example");
    BridgeConfig config;
    config.pinEntry = policy;
    config.pinentryProgram = program;
    config.pinentrySeconds = 2;
    auto session = std::make_unique<Session>(std::move(origins), std::move(config));
    for (const char* call : {R"("Open","args":["Virtual PCD 00 00"])", R"("CardDetect","args":[])",
                             R"("CardAuthenticate","args":["2026/12/08"])"})
      EXPECT_EQ(Call(*session, call), R"({"id":1,"value":0})") << call;
    sim_.ResetCounts();
    return session;
  }
  static std::string Call(Session& session, const std::string& memberAndArgs) {
    const std::string json =
        R"({"id":1,)" + kBank + R"(,"op":"call","member":)" + memberAndArgs + "}";
    return session.Handle(reinterpret_cast<const uint8_t*>(json.data()), json.size());
  }
  static std::string Value(int32_t status) {
    return R"({"id":1,"value":)" + std::to_string(status) + "}";
  }
  int Tries(Session& session) {
    EXPECT_EQ(Call(session, R"("GetApplicationState","args":[])"), Value(0));
    const std::string json = R"({"id":1,)" + kBank + R"(,"op":"get","member":"wRetries"})";
    const std::string answer =
        session.Handle(reinterpret_cast<const uint8_t*>(json.data()), json.size());
    return std::stoi(answer.substr(answer.find("value\":") + 7));
  }
  void Answers(const std::vector<std::string>& lines) {
    std::ofstream table(table_);
    for (const auto& line : lines) table << line << "\n";
    std::ofstream(table_ + ".log", std::ios::trunc).flush();
  }
  std::string Shown() const {
    std::ifstream log(table_ + ".log");
    std::stringstream text;
    text << log.rdbuf();
    return text.str();
  }

  Simulator sim_;
  std::string table_;
};

constexpr const char* kVerify = R"("CardVerifySecretCode","args":[])";
constexpr const char* kChange = R"("ChangeSecretCode","args":[null,null])";

TEST_F(PinEntry, VerifyThroughTheDialog) {
  const std::string pinentry = R"({"id":1,"error":{"code":"pinentry")";
  const struct Row {
    const char* what;
    std::vector<std::string> answers;
    std::string answer;  // the whole answer, or the start of an error
    int verifies;        // VERIFY commands the card saw
    int triesAfter;
  } rows[] = {
      {"the right PIN", {"pin 1234"}, Value(0), 1, 3},
      {"a wrong PIN", {"pin 9999"}, Value(aps::kSecretCodeRejected), 1, 2},
      {"cancel", {"cancel"}, Value(aps::kPinEntryCancelled), 0, 3},
      {"the dialog's own timeout", {"timeout"}, Value(aps::kPinEntryCancelled), 0, 3},
      {"no answer at all", {"hang"}, Value(aps::kPinEntryCancelled), 0, 3},
      {"OK with nothing typed", {"pin "}, Value(aps::kPinEntryCancelled), 0, 3},
      {"garbage", {"garbage"}, pinentry, 0, 3},
      {"a crash", {"crash"}, pinentry, 0, 3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto session = Open();
    Answers(row.answers);
    const std::string answer = Call(*session, kVerify);
    EXPECT_EQ(answer.rfind(row.answer, 0), 0u) << answer;
    EXPECT_EQ(sim_.Count("20"), row.verifies);
    EXPECT_EQ(Tries(*session), row.triesAfter);
    const std::string shown = Shown();
    EXPECT_NE(shown.find("SETDESC https://bank.example asks for the PIN of the card in the reader "
                         "Virtual PCD 00 00.%0ATries left: 3."),
              std::string::npos)
        << shown;
    // The reader stays usable: the page's own code still verifies.
    EXPECT_EQ(Call(*session, R"("CardVerifySecretCode","args":["1234"])"), Value(0));
  }
  auto missing = Open(PinEntryPolicy::PageOrHost, "/nonexistent/pinentry");
  EXPECT_EQ(Call(*missing, kVerify).rfind(pinentry, 0), 0u);
  EXPECT_EQ(sim_.Count("20"), 0);
}

TEST_F(PinEntry, ChangeAsksThreeTimesAndRefusesBeforeTheCard) {
  const struct Row {
    const char* what;
    std::vector<std::string> answers;
    int32_t status;
    int changes;  // CHANGE PIN commands the card saw
    const char* newCode;
  } rows[] = {
      {"current, new, new", {"pin 1234", "pin 5678", "pin 5678"}, 0, 1, "5678"},
      {"a mismatch asked again",
       {"pin 1234", "pin 5678", "pin 5679", "pin 4321", "pin 4321"},
       0,
       1,
       "4321"},
      {"over 15 characters asked again, then cancelled",
       {"pin 1234", "pin 1234567890123456", "cancel"},
       aps::kPinEntryCancelled,
       0,
       "1234"},
      {"three mismatches",
       {"pin 1234", "pin 1111", "pin 2222", "pin 1111", "pin 2222", "pin 1111", "pin 2222"},
       aps::kSecretCodeRejected,
       0,
       "1234"},
      {"cancel at the current code", {"cancel"}, aps::kPinEntryCancelled, 0, "1234"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto session = Open();
    Answers(row.answers);
    EXPECT_EQ(Call(*session, kChange), Value(row.status));
    EXPECT_EQ(sim_.Count("24"), row.changes);
    if (row.changes == 0) {
      EXPECT_EQ(sim_.Count("20"), 0);
    }
    EXPECT_EQ(
        Call(*session, std::string(R"("CardVerifySecretCode","args":[")") + row.newCode + "\"]"),
        Value(0));
    const std::string shown = Shown();
    if (row.answers.size() > 3) {
      EXPECT_NE(shown.find("SETERROR "), std::string::npos) << shown;
    }
  }
}

TEST_F(PinEntry, HostPolicyRefusesTheCodeOfAPage) {
  auto session = Open(PinEntryPolicy::Host);
  EXPECT_EQ(Call(*session, R"("CardVerifySecretCode","args":["1234"])"),
            Value(aps::kPageCodeRefused));
  EXPECT_EQ(Call(*session, R"("ChangeSecretCode","args":["1234","5678"])"),
            Value(aps::kPageCodeRefused));
  EXPECT_EQ(Call(*session, R"("ChangeSecretCode","args":[null,"5678"])"),
            Value(aps::kPageCodeRefused));
  EXPECT_EQ(sim_.Count(""), 0) << "the card saw nothing";
  Answers({"pin 1234"});
  EXPECT_EQ(Call(*session, R"("CardVerifySecretCode","args":[null])"), Value(0));
}

// A page that mirrors the control: a dialog the customer cancels still leaves in the page's
// copy the tries left that were read to show it.
TEST_F(PinEntry, ACancelledDialogStillBringsTheMirrorUpToDate) {
  auto session = Open();
  const std::string mirror = R"({"id":1,)" + kBank + R"(,"op":"members","mirror":true})";
  EXPECT_NE(session->Handle(reinterpret_cast<const uint8_t*>(mirror.data()), mirror.size())
                .find(R"("wRetries":0,)"),
            std::string::npos);
  Answers({"cancel"});
  const std::string answer = Call(*session, kVerify);
  EXPECT_EQ(answer.rfind(R"({"id":1,"value":3585,"state":{"wRetries":3,)", 0), 0u) << answer;
}

TEST_F(PinEntry, NoDialogForACardNotAuthenticated) {
  OriginList origins;
  origins.Add("https://bank.example");
  BridgeConfig config;
  config.pinentryProgram = QORX_FAKE_PINENTRY_PATH;
  sim_.Reinsert();
  Session session(std::move(origins), std::move(config));
  EXPECT_EQ(Call(session, R"("Open","args":["Virtual PCD 00 00"])"), Value(0));
  Answers({"pin 1234"});
  sim_.ResetCounts();
  EXPECT_EQ(Call(session, kVerify), Value(aps::kStateCardReady));
  EXPECT_EQ(Shown(), "");
}

// A dialog nobody answers does not keep the host, and with it the reader, once the browser has
// closed the connection: the dialog goes at once, and so does the host.
TEST_F(PinEntry, HostEndsSoonAfterItsInputClosesDuringAnOpenDialog) {
  const std::string base = table_.substr(0, table_.rfind('/'));
  std::ofstream(base + "/origins") << "https://bank.example\n";
  std::ofstream(base + "/bridge.conf") << "pinentry-program = " QORX_FAKE_PINENTRY_PATH "\n";
  Answers({"hang"});
  {
    std::ofstream in(base + "/in", std::ios::binary);
    for (const char* call : {R"("Open","args":["Virtual PCD 00 00"])", R"("CardDetect","args":[])",
                             R"("CardAuthenticate","args":["2026/12/08"])", kVerify}) {
      const std::string json = R"({"id":1,)" + kBank + R"(,"op":"call","member":)" + call + "}";
      const uint32_t length = static_cast<uint32_t>(json.size());
      in.write(reinterpret_cast<const char*>(&length), sizeof length) << json;
    }
  }
  sim_.Reinsert();
  sim_.ResetCounts();
  // Through a pipe, as the browser has it: the input hangs up once the dialog is up.
  const auto start = std::chrono::steady_clock::now();
  const std::string command = "(cat " + base + "/in; sleep 2) | QORX_BRIDGE_ORIGINS=" + base +
                              "/origins QORX_BRIDGE_CONF=" + base +
                              "/bridge.conf timeout 20 " QORX_BRIDGE_PATH " >/dev/null 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0);
  // The host would end 3 s after the hang-up at the latest even with the dialog left open.
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  EXPECT_LT(ms, 4000);
  EXPECT_NE(Shown().find("GETPIN"), std::string::npos) << "the dialog was up";
  EXPECT_EQ(sim_.Count("20"), 0);
}

}  // namespace
}  // namespace qorx::bridge
