#include "transport/APDU.h"

#include <gtest/gtest.h>

#include "core/Exceptions.h"
#include "tests/support/TestSupport.h"

namespace qorx {
namespace {

using test::CodeOf;
using test::Hex;
using test::HexOf;

TEST(APDU, CommandCases) {
  const uint8_t aid[7] = {0xA0, 0, 0, 0, 0x03, 0x10, 0x10};
  TSDAPDU select(0x00, 0xA4, 0x04, 0x00, 7, aid, 256);
  EXPECT_EQ(HexOf(select.Bytes()), "00A4040007A000000003101000");
  EXPECT_EQ(select.GetLength(TSDAPDU::kLc), 7);
  EXPECT_EQ(select.GetLength(TSDAPDU::kLe), 256);

  EXPECT_EQ(HexOf(TSDAPDU(0x00, 0x84, 0, 0, 0, nullptr, 8).Bytes()), "0084000008");
  EXPECT_EQ(HexOf(TSDAPDU(0x00, 0x84, 0, 0, 0, nullptr, 0).Bytes()), "00840000");
  EXPECT_EQ(HexOf(TSDAPDU(0x80, 0xE2, 0, 0, Hex("AABB"), 0).Bytes()), "80E2000002AABB");
  // Header bytes keep their low eight bits.
  EXPECT_EQ(HexOf(TSDAPDU(0x180, 0x1CA, 0x19F, 0x117, 0, nullptr, 0).Bytes()), "80CA9F17");
}

// A command built from the response the object holds, as a follow-up command may be.
TEST(APDU, CommandFromItsOwnResponse) {
  TSDAPDU apdu;
  apdu.ParseCommand(Hex("AABBCC9000"), false);
  apdu.SetCommand(0x80, 0xE2, 0, 0, 3, apdu.DataAt(0), 0);
  EXPECT_EQ(HexOf(apdu.Bytes()), "80E2000003AABBCC");
}

TEST(APDU, ParseCommand) {
  struct Row {
    const char* hex;
    int lc, le;
    bool malformed;
  } rows[] = {
      {"00B2010C00", 0, 256, false},       {"80E2000002AABB", 2, 0, false},
      {"80E2000002AABB00", 2, 256, false}, {"00B2010C10", 0, 16, false},
      {"00A40400", 0, 0, false},           {"80E2000002AA", 0, 0, true},
      {"80E2000002AABB0000", 0, 0, true},  {"00B2010C0000", 0, 0, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.hex);
    TSDAPDU apdu;
    if (row.malformed) {
      EXPECT_EQ(CodeOf([&] { apdu.ParseCommand(Hex(row.hex), true); }), sd::kMalformed);
      EXPECT_EQ(HexOf(apdu.Bytes()), row.hex);  // the bytes stay held
      continue;
    }
    apdu.ParseCommand(Hex(row.hex), true);
    EXPECT_EQ(apdu.GetLength(TSDAPDU::kLc), row.lc);
    EXPECT_EQ(apdu.GetLength(TSDAPDU::kLe), row.le);
  }
  TSDAPDU unparsed;
  unparsed.ParseCommand(Hex("80E2000002AA"), false);
  EXPECT_EQ(unparsed.GetLength(TSDAPDU::kLc), 0);
}

TEST(APDU, ResponseAndLengthRules) {
  TSDAPDU apdu;
  apdu.ParseCommand(Hex("6283"), false);
  EXPECT_EQ(apdu.StatusWord(), 0x6283);
  EXPECT_EQ(apdu.GetLength(TSDAPDU::kResponseData), 0);

  for (const char* tooShort : {"", "90"}) {
    SCOPED_TRACE(tooShort);
    apdu.ParseCommand(Hex(tooShort), false);
    EXPECT_EQ(CodeOf([&] { apdu.StatusWord(); }), sd::kLength);
    EXPECT_EQ(CodeOf([&] { apdu.GetLength(TSDAPDU::kResponseData); }), sd::kLength);
  }

  struct Row {
    int selector, n;
    uint16_t code;
  } rows[] = {
      {TSDAPDU::kBytes, -1, sd::kLength},
      {TSDAPDU::kLc, 256, sd::kLength},
      {TSDAPDU::kLe, 257, sd::kLength},
      {TSDAPDU::kResponseData, 257, sd::kLength},
      {4, 1, sd::kInvalidArgument},
      {TSDAPDU::kLc, 255, 0},
      {TSDAPDU::kLe, 256, 0},
      {TSDAPDU::kResponseData, 256, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.selector << "/" << row.n);
    TSDAPDU a(0, 0xB0, 0, 0, 0, nullptr, 0);
    EXPECT_EQ(CodeOf([&] { a.SetLength(row.selector, row.n); }), row.code);
  }
  EXPECT_EQ(CodeOf([&] { apdu.GetLength(-1); }), sd::kInvalidArgument);

  TSDAPDU resized(0x00, 0xB0, 0, 0, 0, nullptr, 0);
  resized.SetLength(TSDAPDU::kLe, 256);
  EXPECT_EQ(HexOf(resized.Bytes()), "00B0000000");
  resized.SetLength(TSDAPDU::kResponseData, 3);
  EXPECT_EQ(resized.GetLength(TSDAPDU::kBytes), 5);
  EXPECT_EQ(resized.GetLength(TSDAPDU::kLe), 0);
}

}  // namespace
}  // namespace qorx
