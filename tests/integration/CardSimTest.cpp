// The card simulator without pcscd: message framing, command parsing, the card's answers
// under T=1 and T=0, options, and the reader connection against a stand-in reader driver.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

#include "tests/integration/ExchangeFile.h"
#include "tools/cardsim/Applets.h"
#include "tools/cardsim/Card.h"
#include "tools/cardsim/Frame.h"
#include "tools/cardsim/Options.h"
#include "tools/cardsim/Simulator.h"

namespace qorx::cardsim {
namespace {

Bytes H(const std::string& hex) {
  Bytes b;
  EXPECT_TRUE(ParseHex(hex, &b)) << hex;
  return b;
}

std::string Send(Card& card, const std::string& hex) {
  std::optional<Bytes> reply = card.OnReaderMessage(H(hex));
  return reply ? ToHex(*reply) : "<none>";
}

CardConfig Configured(std::initializer_list<const char*> commands) {
  CardConfig config;
  for (const char* line : commands) {
    std::string s = line, name = s.substr(0, s.find(' ')), value;
    if (s.find(' ') != std::string::npos) value = s.substr(s.find(' ') + 1);
    std::string error;
    EXPECT_TRUE(ApplyCardOption(config, name, value, !value.empty(), &error)) << line << error;
  }
  return config;
}

TEST(CardSimFrames, SplitAnywhere) {
  Bytes stream = EncodeFrame(H("01"));
  Bytes second = EncodeFrame(H("00A4040007A000000951100100"));
  stream.insert(stream.end(), second.begin(), second.end());
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    SCOPED_TRACE(cut);
    FrameDecoder decoder;
    Bytes payload;
    decoder.Feed(stream.data(), cut);
    std::vector<std::string> got;
    while (decoder.Next(&payload)) got.push_back(ToHex(payload));
    decoder.Feed(stream.data() + cut, stream.size() - cut);
    while (decoder.Next(&payload)) got.push_back(ToHex(payload));
    EXPECT_EQ(got, (std::vector<std::string>{"01", "00A4040007A000000951100100"}));
    EXPECT_EQ(decoder.Buffered(), 0u);
  }
}

TEST(CardSimFrames, IncompleteAndEmpty) {
  FrameDecoder decoder;
  Bytes payload = H("AA");
  decoder.Feed(H("0003AABB").data(), 4);  // one byte short
  EXPECT_FALSE(decoder.Next(&payload));
  EXPECT_EQ(ToHex(payload), "AA");  // untouched
  decoder.Feed(H("CC0000").data(), 3);
  ASSERT_TRUE(decoder.Next(&payload));
  EXPECT_EQ(ToHex(payload), "AABBCC");
  ASSERT_TRUE(decoder.Next(&payload));  // a zero-length message is a message
  EXPECT_TRUE(payload.empty());
  EXPECT_FALSE(decoder.Next(&payload));
  EXPECT_EQ(ToHex(EncodeFrame(Bytes(300, 0))).substr(0, 4), "012C");
}

TEST(CardSimApdu, Cases) {
  struct Row {
    const char* hex;
    bool ok;
    CommandApdu::Case kind;
    size_t lc;
    int le;
  } rows[] = {
      {"00A40400", true, CommandApdu::kCase1, 0, 0},
      {"0084000008", true, CommandApdu::kCase2, 0, 8},
      {"0084000000", true, CommandApdu::kCase2, 0, 256},
      {"80E2000002AABB", true, CommandApdu::kCase3, 2, 0},
      {"80E2000002AABB00", true, CommandApdu::kCase4, 2, 256},
      {"80E2000002AABB10", true, CommandApdu::kCase4, 2, 16},
      {"", false, CommandApdu::kCase1, 0, 0},
      {"00A404", false, CommandApdu::kCase1, 0, 0},
      {"80E2000002AA", false, CommandApdu::kCase1, 0, 0},        // Lc beyond the data
      {"80E2000002AABB0000", false, CommandApdu::kCase1, 0, 0},  // trailing byte
      {"00B0000000FFFF", false, CommandApdu::kCase1, 0, 0},      // extended length
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.hex);
    Bytes raw = H(row.hex);
    CommandApdu c;
    ASSERT_EQ(ParseCommand(ByteReader(raw.data(), raw.size()), &c), row.ok);
    if (!row.ok) continue;
    EXPECT_EQ(c.kind, row.kind);
    EXPECT_EQ(c.data.size(), row.lc);
    EXPECT_EQ(c.le, row.le);
    EXPECT_EQ(c.raw, raw);
  }
}

TEST(CardSimCard, Controls) {
  Card card{CardConfig{}};
  Bytes atr = *card.OnReaderMessage(H("04"));
  EXPECT_EQ(ToHex(atr), "3B8801516F725853696D31FB");
  uint8_t check = 0;
  for (size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
  EXPECT_EQ(check, 0) << "TCK";
  EXPECT_EQ(Send(card, "01"), "<none>");
  EXPECT_TRUE(card.Powered());
  EXPECT_EQ(card.PowerUps(), 1u);
  EXPECT_EQ(Send(card, "00A4040007A000000951100100").substr(0, 4), "6F10");
  EXPECT_FALSE(card.Selected().empty());
  EXPECT_EQ(Send(card, "02"), "<none>");  // reset ends the session
  EXPECT_TRUE(card.Selected().empty());
  EXPECT_EQ(Send(card, "00"), "<none>");
  EXPECT_FALSE(card.Powered());
  EXPECT_EQ(Send(card, "07"), "<none>");  // unknown controls get no answer

  card.Config() = Configured({"t0"});
  EXPECT_EQ(Send(card, "04"), "3B08516F725853696D30");
  card.Config() = Configured({"atr 3B00"});
  EXPECT_EQ(Send(card, "04"), "3B00");
  card.Config() = Configured({"mute"});
  EXPECT_GT(card.OnReaderMessage(H("04"))->size(), 33u);  // no reader takes it
}

// The exchange files that the integration tests play through pcscd, played here straight
// into the card: the files and the card agree before any reader is involved.
TEST(CardSimCard, ExchangeFiles) {
  for (const char* fileName : {"bank-card.apdu", "bank-card-t0.apdu", "bank-application.apdu"}) {
    SCOPED_TRACE(fileName);
    ExchangeFile file = ExchangeFile::Load(std::string(QORX_INTEGRATION_DATA) + "/" + fileName);
    ASSERT_FALSE(file.exchanges.empty());
    CardConfig config;
    for (const std::string& line : file.setup) {
      std::string name = line.substr(0, line.find(' ')), value;
      if (line.find(' ') != std::string::npos) value = line.substr(line.find(' ') + 1);
      std::string error;
      ASSERT_TRUE(ApplyCardOption(config, name, value, !value.empty(), &error)) << error;
    }
    Card card{config};
    card.OnReaderMessage(H("01"));
    for (const Exchange& e : file.exchanges) {
      EXPECT_EQ(Send(card, e.command), e.response) << e.command;
    }
  }
}

TEST(CardSimCard, T1Answers) {
  struct Row {
    std::initializer_list<const char*> options;
    const char* command;
    const char* response;
  } rows[] = {
      // FCI: 6F { 84 AID, A5 { 9F08 version } } in its variants
      {{"version none"}, "00A4040007A000000951100100", "6F0B8407A0000009511001A5009000"},
      {{"version 01"}, "00A4040007A000000951100100", "6F0F8407A0000009511001A5049F0801019000"},
      {{"bank-fci 6F00"}, "00A4040007A000000951100100", "6F009000"},
      {{"select-fail"}, "00A4040007A000000951100100", "6A82"},
      {{"select-warning"},
       "00A4040007A000000951100100",
       "6F108407A0000009511001A5059F08020102"
       "6283"},
      {{}, "00A4040C07A0000009511001", "9000"},  // P2 0C: no FCI wanted
      {{}, "00A4000002 3F00", "6A86"},           // select by name only
      {{}, "00A4040000", "6700"},
      {{"app A0000000031010:6F03840100"}, "00A4040007A000000003101000", "6F038401009000"},
      // GET_FCI needs the bank application selected first
      {{}, "80F2400007A000000951100100", "6985"},
      {{}, "80F2410007A000000951100100", "6A86"},
      // Le caps a T=1 response
      {{"respond 80CA:0102030405 9000"}, "80CA9F1702", "01029000"},
      {{"respond 80CA:0102039000"}, "80CA9F1700", "0102039000"},
      {{}, "00A4", "6700"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.command);
    Card card{Configured(row.options)};
    EXPECT_EQ(Send(card, row.command), ToHex(H(row.response)));
  }
}

TEST(CardSimCard, GetFciStatusByte) {
  Card card{Configured({"app-status 5A", "version 0304"})};
  Send(card, "00A4040007A000000951100100");
  EXPECT_EQ(Send(card, "80F2400007A000000951100100"), "8407A00000095110019F080203045A9000");
  card.Config() = Configured({"app-status none"});
  EXPECT_EQ(Send(card, "80F2400007A000000951100100"), "9000");
  // A failed SELECT of another application keeps the bank one selected; a reset does not.
  EXPECT_EQ(Send(card, "00A4040002AAAA00"), "6A82");
  EXPECT_EQ(Send(card, "80F2400007A000000951100100"), "9000");
  Send(card, "02");
  EXPECT_EQ(Send(card, "80F2400007A000000951100100"), "6985");
}

TEST(CardSimCard, T0Chains) {
  const std::string select = "00A4040007A0000009511001";
  const std::string fci = "6F108407A0000009511001A5059F08020102";  // 18 bytes
  {
    Card card{Configured({"t0"})};
    EXPECT_EQ(Send(card, select), "6112");
    EXPECT_EQ(Send(card, "00C0000020"), "6C12");  // more than there is
    EXPECT_EQ(Send(card, "00C0000012"), fci + "9000");
    EXPECT_EQ(Send(card, "00C0000012"), "6985");
  }
  {
    // Another command drops what was waiting.
    Card card{Configured({"t0"})};
    EXPECT_EQ(Send(card, select), "6112");
    EXPECT_EQ(Send(card, "00B0000000"), "6D00");
    EXPECT_EQ(Send(card, "00C0000012"), "6985");
  }
  {
    // Taking less than announced leaves the rest.
    Card card{Configured({"t0", "chunk 16"})};
    EXPECT_EQ(Send(card, select), "6110");
    EXPECT_EQ(Send(card, "00C0000004"), fci.substr(0, 8) + "610E");
    EXPECT_EQ(Send(card, "00C000000E"), fci.substr(8, 28) + "9000");
  }
  {
    // The final status word comes with the last part.
    Card card{Configured({"t0", "select-warning"})};
    EXPECT_EQ(Send(card, select), "6112");
    EXPECT_EQ(Send(card, "00C0000012"), fci + "6283");
  }
  {
    // 256 bytes are announced as 00; a case-2 command for 256 bytes uses P3 00.
    Bytes big(256, 0x5A);
    Card card{Configured({"t0", ("respond 80CA:" + ToHex(big) + "9000").c_str()})};
    EXPECT_EQ(Send(card, "80CA000001AA"), "6100");
    EXPECT_EQ(Send(card, "00C0000000"), ToHex(big) + "9000");
    EXPECT_EQ(Send(card, "80CA000010"), "6C00");
    EXPECT_EQ(Send(card, "80CA000000"), ToHex(big) + "9000");
  }
  {
    Card card{Configured({"t0"})};
    EXPECT_EQ(Send(card, select), "6112");
    EXPECT_EQ(Send(card, "00C000000100"), "6700");  // GET RESPONSE is case 2
    EXPECT_EQ(Send(card, "00C0010012"), "6A86");
    EXPECT_EQ(Send(card, "00A40400"), "6700");  // malformed, and drops the pending data
    EXPECT_EQ(Send(card, "00C0000012"), "6985");
  }
}

TEST(CardSimCard, CountsAndHandlers) {
  Card card{CardConfig{}};
  std::vector<std::string> log;
  card.SetLog([&](const std::string& line) { log.push_back(line); });
  card.Commands().Set(0x80, 0x20, [](const CommandApdu& c, Card&) {
    return ResponseApdu{c.data, 0x63C2};
  });
  EXPECT_EQ(Send(card, "8020000002ABCD"), "ABCD63C2");
  Send(card, "00A4040007A000000951100100");
  Send(card, "00A4040007A000000951100100");
  Send(card, "04");  // controls are not commands
  EXPECT_EQ(card.CommandCount(), 3u);
  EXPECT_EQ(card.CommandCount(0xA4), 2u);
  EXPECT_EQ(card.CommandCount(0xB0), 0u);
  EXPECT_EQ(log.front(), "> 8020000002ABCD");
  EXPECT_EQ(log[1], "< ABCD63C2");
  EXPECT_EQ(log.size(), 6u);  // ATR requests are logged only with log-controls
  card.ResetCounts();
  EXPECT_EQ(card.CommandCount(0xA4), 0u);
}

TEST(CardSimOptions, Values) {
  struct Row {
    const char* name;
    const char* value;
    bool ok;
  } rows[] = {
      {"t0", "", true},
      {"t0", "x", false},
      {"mute", "", true},
      {"mute", "off", true},
      {"mute", "maybe", false},
      {"atr", "3B00", true},
      {"atr", "3B", false},
      {"atr", "default", true},
      {"atr", "3G00", false},
      {"version", "none", true},
      {"version", "010", false},
      {"app-status", "7F", true},
      {"app-status", "0102", false},
      {"app", "A000:6F00", true},
      {"app", "A000", false},
      {"app", ":6F00", false},
      {"respond", "80CA:90", false},
      {"respond", "80CA:9000", true},
      {"chunk", "0", false},
      {"chunk", "256", true},
      {"chunk", "257", false},
      {"chunk", "", false},
      {"port", "1", false},
      {"bogus", "", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.name) + " " + row.value);
    CardConfig config;
    std::string error;
    EXPECT_EQ(ApplyCardOption(config, row.name, row.value, *row.value != 0, &error), row.ok)
        << error;
    if (!row.ok) {
      EXPECT_FALSE(error.empty());
    }
  }
}

TEST(CardSimOptions, CommandLineAndScript) {
  std::string script = testing::TempDir() + "cardsim-script.txt";
  {
    std::ofstream out(script);
    out << "# a comment\n\n  respond 80CA9F17 : 9F17 0103 9000  \nversion 0203\nmute off\n";
  }
  std::string scriptArg = "--script=" + script;
  const char* argv[] = {"qorx-cardsim", "--reader",        "1",         "--t0",  "--mute",
                        "--chunk=16",   scriptArg.c_str(), "--control", "/tmp/x"};
  SimOptions options;
  std::string error;
  ASSERT_TRUE(ParseCommandLine(9, const_cast<char**>(argv), options, &error)) << error;
  EXPECT_EQ(options.port, 35964);
  EXPECT_EQ(options.card.protocol, Protocol::kT0);
  EXPECT_FALSE(options.card.mute);  // the script came later
  EXPECT_EQ(options.card.chunk, 16u);
  EXPECT_EQ(ToHex(*options.card.version), "0203");
  ASSERT_EQ(options.card.canned.size(), 1u);
  EXPECT_EQ(ToHex(options.card.canned[0].response), "9F1701039000");
  EXPECT_EQ(options.control, "/tmp/x");

  for (std::vector<const char*> bad : {std::vector<const char*>{"x", "--port"},
                                       {"x", "--nope"},
                                       {"x", "plain"},
                                       {"x", "--t1=on"},
                                       {"x", "--script", "/nonexistent/script"}}) {
    SimOptions o;
    EXPECT_FALSE(
        ParseCommandLine(static_cast<int>(bad.size()), const_cast<char**>(bad.data()), o, &error))
        << bad[1];
  }
  {
    std::ofstream out(script);
    out << "version 01\nsend status\n";
  }
  SimOptions o;
  EXPECT_FALSE(LoadScript(script, o, &error));
  EXPECT_NE(error.find(":2:"), std::string::npos) << error;
  std::remove(script.c_str());
}

// A stand-in for the reader driver: listens like vpcd, speaks its framing.
class FakeReader {
 public:
  FakeReader() { Listen(0); }
  ~FakeReader() {
    Drop();
    if (listener_ >= 0) close(listener_);
  }
  uint16_t Port() const { return port_; }

  bool Accept() {
    client_ = accept(listener_, nullptr, nullptr);
    if (client_ < 0) return false;
    timeval tv{5, 0};
    setsockopt(client_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return true;
  }
  // Sends one message; returns the answer's payload, or "<none>" when none came in time.
  std::string Exchange(const std::string& hex, bool expectAnswer = true) {
    Bytes frame = EncodeFrame(H(hex));
    if (send(client_, frame.data(), frame.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(frame.size())) {
      return "<send failed>";
    }
    if (!expectAnswer) return "";
    FrameDecoder decoder;
    Bytes payload;
    uint8_t buffer[512];
    while (!decoder.Next(&payload)) {
      ssize_t n = recv(client_, buffer, sizeof buffer, 0);
      if (n <= 0) return "<none>";
      decoder.Feed(buffer, static_cast<size_t>(n));
    }
    return ToHex(payload);
  }
  bool PeerClosed() {
    uint8_t b;
    return recv(client_, &b, 1, 0) == 0;
  }
  void Drop() {
    if (client_ >= 0) close(client_);
    client_ = -1;
  }
  // The driver goes away entirely (pcscd stopped) and comes back on the same port.
  void Restart() {
    Drop();
    close(listener_);
    listener_ = -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // refused meanwhile
    Listen(port_);
  }

 private:
  void Listen(uint16_t port) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    timeval tv{5, 0};
    setsockopt(listener_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);  // bounds accept()
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    ASSERT_EQ(listen(listener_, 1), 0);
  }

  int listener_ = -1;
  int client_ = -1;
  uint16_t port_ = 0;
};

// The simulator process as the harness runs it: the reader on TCP, commands on the control
// socket, both served by the one loop.
class CardSimProcess : public testing::Test {
 protected:
  void SetUp() override {
    control_ = testing::TempDir() + "cardsim-test-" + std::to_string(getpid()) + ".ctl";
    SimOptions options;
    options.port = reader_.Port();
    options.control = control_;
    sim_ = std::make_unique<Simulator>(options);
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;
    loop_ = std::thread([this] { sim_->Run(stop_); });
  }
  void TearDown() override {
    if (loop_.joinable()) {
      Control("quit");
      loop_.join();
    }
    sim_.reset();
  }
  std::string Control(const std::string& command) {
    std::string reply;
    return SendControl(control_, command, &reply) ? reply : "<no answer: " + reply + ">";
  }

  FakeReader reader_;
  std::string control_;
  std::unique_ptr<Simulator> sim_;
  volatile int stop_ = 0;
  std::thread loop_;
};

TEST_F(CardSimProcess, ServesTheReader) {
  ASSERT_TRUE(reader_.Accept());
  EXPECT_EQ(reader_.Exchange("04"), "3B8801516F725853696D31FB");
  EXPECT_NE(Control("status").find("ready=0"), std::string::npos);
  reader_.Exchange("01", false);
  EXPECT_EQ(reader_.Exchange("00A4040007A000000951100100").substr(0, 4), "6F10");
  EXPECT_NE(Control("status").find("ready=1"), std::string::npos);
  EXPECT_EQ(reader_.Exchange("00A4040007A000000951100100").substr(0, 4), "6F10");
  EXPECT_EQ(reader_.Exchange("80F2400007A000000951100100"),
            "8407A00000095110019F0802010201"
            "9000");
  EXPECT_EQ(Control("count A4"), "ok 2");
  EXPECT_EQ(Control("count"), "ok 3");
  EXPECT_EQ(Control("reset-counts"), "ok");
  EXPECT_EQ(Control("count A4"), "ok 0");
}

TEST_F(CardSimProcess, ReconnectsWhenTheReaderComesBack) {
  ASSERT_TRUE(reader_.Accept());
  reader_.Exchange("01", false);
  EXPECT_EQ(reader_.Exchange("00A4040007A000000951100100").substr(0, 4), "6F10");
  reader_.Restart();  // pcscd stopped and started again: the card is still in
  ASSERT_TRUE(reader_.Accept());
  EXPECT_EQ(reader_.Exchange("80F2400007A000000951100100"), "6985");  // a fresh session
  EXPECT_NE(Control("status").find("inserted=1 connected=1"), std::string::npos);
}

// Removal as the driver must see it: the card answers the next ATR request with an empty
// ATR (an empty slot) and only then goes; an insertion asked for meanwhile waits for that.
TEST_F(CardSimProcess, RemoveInsertAndReconfigure) {
  ASSERT_TRUE(reader_.Accept());
  EXPECT_EQ(Control("remove"), "ok");
  EXPECT_NE(Control("status").find("inserted=0 connected=0 removing=1 ready=0"), std::string::npos);
  EXPECT_EQ(Control("insert"), "ok after the removal");
  EXPECT_EQ(reader_.Exchange("00", false), "");  // power off: no answer, still on the line
  EXPECT_EQ(reader_.Exchange("01", false), "");  // power on, then its ATR request
  EXPECT_EQ(reader_.Exchange("04"), "");         // empty, and still on the line
  EXPECT_EQ(reader_.Exchange("04"), "");         // a presence poll: empty slot, then gone
  EXPECT_TRUE(reader_.PeerClosed());
  reader_.Drop();
  ASSERT_TRUE(reader_.Accept());  // and the card comes back
  EXPECT_EQ(Control("remove"), "ok");
  EXPECT_EQ(reader_.Exchange("00A4040007A000000951100100"), "<none>");  // no card to answer
  EXPECT_TRUE(reader_.PeerClosed());
  reader_.Drop();
  EXPECT_NE(Control("status").find("inserted=0 connected=0 removing=0"), std::string::npos);

  EXPECT_EQ(Control("mute"), "ok");
  EXPECT_EQ(Control("insert"), "ok inserted");
  ASSERT_TRUE(reader_.Accept());
  EXPECT_GT(reader_.Exchange("04").size(), 66u);  // over 33 bytes: the reader calls it mute
  EXPECT_EQ(Control("defaults"), "ok");
  EXPECT_EQ(reader_.Exchange("04"), "3B8801516F725853696D31FB");
  EXPECT_EQ(Control("chunk 0").substr(0, 5), "error");
  EXPECT_EQ(Control("port 1").substr(0, 5), "error");
  EXPECT_EQ(Control("count XYZ").substr(0, 5), "error");
  EXPECT_EQ(Control("").substr(0, 5), "error");
  EXPECT_EQ(Control("quit"), "ok");
  loop_.join();  // quit ends the loop
}

// A certificate option is a long line: 804 bytes in hexadecimal arrive whole and are served.
TEST_F(CardSimProcess, LongControlLines) {
  std::string element = "30820320" + std::string(1600, 'A');
  EXPECT_EQ(Control("certificate " + element), "ok");
  ASSERT_TRUE(reader_.Accept());
  reader_.Exchange("01", false);
  reader_.Exchange("00A4040007A000000951100100");
  EXPECT_EQ(reader_.Exchange("900C032404"), "AAAA9000");  // the file ends after two
  EXPECT_EQ(Control("certificate " + std::string(kMaxControlLine, 'A')),
            "error command line too long");
  EXPECT_EQ(Control("certificate off"), "ok");
}

TEST_F(CardSimProcess, RemovalWithoutAReaderPolling) {
  ASSERT_TRUE(reader_.Accept());
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Control("remove"), "ok");
  EXPECT_TRUE(reader_.PeerClosed());  // hangs up by itself after a while
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
}

TEST(CardSimControl, SecondSimulatorOnTheSameSocketIsRefused) {
  std::string path = testing::TempDir() + "cardsim-dup-" + std::to_string(getpid()) + ".ctl";
  ControlServer first, second;
  std::string error;
  ASSERT_TRUE(first.Listen(path, &error)) << error;
  EXPECT_FALSE(second.Listen(path, &error));
  EXPECT_NE(error.find("another simulator"), std::string::npos);
  std::string reply;
  EXPECT_FALSE(SendControl(path + ".missing", "status", &reply));
}

}  // namespace
}  // namespace qorx::cardsim
