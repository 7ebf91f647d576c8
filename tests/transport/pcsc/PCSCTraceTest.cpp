// The PC/SC trace: how commands and answers read in it, what it withholds, and a slot's
// dialogue over the fake library traced to a file without a byte of a PIN block in it.

#include "transport/pcsc/PCSCTrace.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/transport/pcsc/FakePCSC.h"
#include "transport/pcsc/SmartCardSlotPCSC.h"

namespace qorx {
namespace {

using testing::Fake;
using testing::UsePCSCLibrary;
using Bytes = std::vector<uint8_t>;

Bytes Counting(size_t n, uint8_t first) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
  return b;
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string Hex(const Bytes& bytes) {
  std::string out;
  char two[4];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%s%02X", out.empty() ? "" : " ", b);
    out += two;
  }
  return out;
}

TEST(PCSCTrace, CommandsReadAsSentSecretsAsTheirLength) {
  const Bytes pinBlock = Counting(128, 0x10);
  const struct {
    const char* what;
    Bytes apdu;
    const char* expected;  // null: the command as sent
  } cases[] = {
      {"SELECT", {0x00, 0xA4, 0x04, 0x00, 0x02, 0xA0, 0x00, 0x00}, nullptr},
      {"GET DATA", {0x80, 0xCA, 0x9F, 0x17, 0x00}, nullptr},
      {"INTERNAL AUTHENTICATE", {0x00, 0x88, 0x00, 0x00, 0x02, 0x30, 0x21, 0x00}, nullptr},
      {"INITIALIZE UPDATE", {0x80, 0x50, 0x00, 0x00, 0x02, 0x11, 0x22, 0x00}, nullptr},
      {"reader pseudo-command", {0xFF, 0x20, 0x00, 0x00, 0x01, 0x31}, nullptr},
      {"further class, no SM", {0x40, 0xB0, 0x00, 0x00, 0x01, 0x31}, nullptr},
      {"VERIFY", Concat({0x00, 0x20, 0x00, 0x08, 0x80}, pinBlock), "00 20 00 08 80 [128 bytes]"},
      {"VERIFY asking the tries", {0x00, 0x20, 0x00, 0x80}, "00 20 00 80"},
      {"VERIFY with Le alone", {0x00, 0x20, 0x00, 0x80, 0x00}, "00 20 00 80 00"},
      {"VERIFY extended", Concat({0x00, 0x20, 0x00, 0x08, 0x00, 0x00, 0x80}, pinBlock),
       "00 20 00 08 00 00 80 [128 bytes]"},
      {"CHANGE PIN", Concat({0x80, 0x24, 0x02, 0x08, 0x80}, pinBlock),
       "80 24 02 08 80 [128 bytes]"},
      {"RESET RETRY COUNTER",
       {0x00, 0x2C, 0x00, 0x80, 0x02, 0x31, 0x32},
       "00 2C 00 80 02 [2 bytes]"},
      {"PUT KEY", {0x80, 0xD8, 0x01, 0x81, 0x03, 1, 2, 3, 0x00}, "80 D8 01 81 03 [3 bytes] 00"},
      {"STORE DATA", {0x80, 0xE2, 0x80, 0x00, 0x02, 1, 2}, "80 E2 80 00 02 [2 bytes]"},
      {"EXTERNAL AUTHENTICATE", {0x84, 0x82, 0x01, 0x00, 0x02, 1, 2}, "84 82 01 00 02 [2 bytes]"},
      {"host script under SM", {0x84, 0x1E, 0x00, 0x00, 0x02, 1, 2}, "84 1E 00 00 02 [2 bytes]"},
      {"SM of a first class", {0x0C, 0xB0, 0x00, 0x00, 0x02, 1, 2}, "0C B0 00 00 02 [2 bytes]"},
      {"SM of a further class", {0x60, 0xB0, 0x00, 0x00, 0x02, 1, 2}, "60 B0 00 00 02 [2 bytes]"},
      {"ENVELOPE", {0x00, 0xC2, 0x00, 0x00, 0x02, 0x31, 0x32}, "00 C2 00 00 02 [2 bytes]"},
      {"VERIFY, Lc past the end",
       {0x00, 0x20, 0x00, 0x08, 0x05, 0x31, 0x32},
       "00 20 00 08 [3 bytes]"},
      {"VERIFY, bytes after Le",
       {0x00, 0x20, 0x00, 0x08, 0x01, 0x31, 0x00, 0x00},
       "00 20 00 08 [4 bytes]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const bool secret = pcsc::CommandIsSecret(c.apdu.data(), c.apdu.size());
    EXPECT_EQ(secret, c.expected != nullptr);
    EXPECT_EQ(pcsc::DescribeCommand(c.apdu.data(), c.apdu.size(), secret),
              c.expected != nullptr ? c.expected : Hex(c.apdu));
  }
}

TEST(PCSCTrace, AnswersKeepTheirStatusWord) {
  const Bytes answer = {0x9F, 0x17, 0x01, 0x03, 0x90, 0x00};
  EXPECT_EQ(pcsc::DescribeResponse(answer.data(), answer.size(), false), "9F 17 01 03 SW 9000");
  EXPECT_EQ(pcsc::DescribeResponse(answer.data(), answer.size(), true), "[4 bytes] SW 9000");
  EXPECT_EQ(pcsc::DescribeResponse(answer.data() + 4, 2, true), "SW 9000");
  EXPECT_EQ(pcsc::DescribeResponse(answer.data(), 1, false), "9F (no status word)");
}

class TracedSlot : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Fake().Loaded());
    Fake().Reset();
    Fake().SetReaders(std::string("Reader A\0", 10));
    Fake().SetProtocol(SCARD_PROTOCOL_T0);
    Fake().InsertCard({0x3B, 0x02, 0x14, 0x50});
  }
  void TearDown() override { unsetenv(kPCSCTraceVariable); }
};

// Off, the table is the library's own: nothing stands between the slot and PC/SC.
TEST_F(TracedSlot, OffLeavesTheLibrarysEntryPoints) {
  unsetenv(kPCSCTraceVariable);
  UsePCSCLibrary(QORX_FAKE_PCSC_PATH);
  void* library = dlopen(QORX_FAKE_PCSC_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr);
  void* transmit = dlsym(library, "SCardTransmit");
  void* connect = dlsym(library, "SCardConnect");
  EXPECT_EQ(reinterpret_cast<void*>(pcsc::Load().Transmit), transmit);
  EXPECT_EQ(reinterpret_cast<void*>(pcsc::Load().Connect), connect);
  dlclose(library);
}

TEST_F(TracedSlot, OnWritesEveryCallAndNoPinBlock) {
  const std::string path = ::testing::TempDir() + "qorx-trace-test.log";
  std::remove(path.c_str());
  setenv(kPCSCTraceVariable, path.c_str(), 1);
  UsePCSCLibrary(QORX_FAKE_PCSC_PATH);

  const Bytes pinBlock = Counting(128, 0x40);
  const Bytes keyData = Counting(16, 0xA0);
  const Bytes wrapped =
      Counting(24, 0xC0);  // an answer to an SM command, fetched with GET RESPONSE
  const Bytes tries = {0x9F, 0x17, 0x01, 0x03};
  Fake().QueueResponse({0x63, 0xC2});
  Fake().QueueResponse({0x61, static_cast<uint8_t>(wrapped.size())});
  Fake().QueueResponse(Concat(wrapped, {0x90, 0x00}));
  Fake().QueueResponse(Concat(tries, {0x90, 0x00}));
  {
    TSDSVCSmartCardSlotPCSC slot("Reader A");
    slot.Open("");
    ASSERT_EQ(slot.CardAction(TSDSVCSmartCardSlotPCSC::ActionConnect), 1);
    const auto send = [&](int cla, int ins, int p1, int p2, const Bytes& data, int le) {
      TSDAPDU apdu(cla, ins, p1, p2, TSDByteArray(data.data(), static_cast<int32_t>(data.size())),
                   le);
      slot.Transmit(apdu);
      return apdu.StatusWord();
    };
    EXPECT_EQ(send(0x00, 0x20, 0x00, 0x08, pinBlock, 0), 0x63C2);
    EXPECT_EQ(send(0x84, 0xD8, 0x01, 0x81, keyData, 256), 0x9000);
    EXPECT_EQ(send(0x80, 0xCA, 0x9F, 0x17, Bytes(), 256), 0x9000);
  }
  ASSERT_EQ(Fake().SentCount(), 4) << "VERIFY, PUT KEY, its GET RESPONSE, GET DATA";

  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  const std::string trace = text.str();
  for (const char* expected :
       {"SCardEstablishContext scope 2", "SCardConnect \"Reader A\" share 2 protocols T=0|T=1",
        "SCardTransmit \"Reader A\" > 00 20 00 08 80 [128 bytes] < SW 63C2 -> 0x00000000 success",
        "> 84 D8 01 81 10 [16 bytes] < SW 6118", "> 00 C0 00 00 18 < [24 bytes] SW 9000",
        "> 80 CA 9F 17 00 < 9F 17 01 03 SW 9000", "SCardDisconnect \"Reader A\"",
        "SCardReleaseContext"})
    EXPECT_NE(trace.find(expected), std::string::npos) << "no \"" << expected << "\" in\n" << trace;
  // Not one secret byte: no run of four of them, wherever a line would break them.
  for (const Bytes* secret : {&pinBlock, &keyData, &wrapped})
    for (size_t i = 0; i + 4 <= secret->size(); ++i)
      ASSERT_EQ(trace.find(Hex(Bytes(secret->begin() + i, secret->begin() + i + 4))),
                std::string::npos)
          << trace;
  // One line per call: time, duration, function.
  const std::regex line(
      "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{6}Z \\d+\\.\\d{3}ms SCard\\w+ .* -> "
      "0x[0-9A-F]{8} .*");
  std::istringstream lines(trace);
  int count = 0;
  for (std::string l; std::getline(lines, l); ++count) EXPECT_TRUE(std::regex_match(l, line)) << l;
  EXPECT_GE(count, 8);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace qorx
