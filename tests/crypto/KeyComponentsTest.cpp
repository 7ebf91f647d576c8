#include "crypto/KeyComponents.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/Exceptions.h"
#include "tests/support/TestSupport.h"

namespace qorx {
namespace {

using test::Hex;

TEST(KeyComponents, FindWalksTheList) {
  TSDByteArray list = Hex("8008 0102030405060708 A003 010001");
  int len = 0;
  const uint8_t* v = FindComponent(list, 0xA0, &len);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(len, 3);
  EXPECT_EQ(v[2], 0x01);
  EXPECT_EQ(FindComponent(list, 0xA1), nullptr);
  EXPECT_EQ(ComponentLength(list, 0x80), 8);
  EXPECT_EQ(ComponentLength(list, 0xA1), 0);
  EXPECT_TRUE(HasComponent(list, 0x80));
  // One trailing byte cannot start a component and is ignored.
  EXPECT_EQ(FindComponent(Hex("8001AA FF"), 0xFF), nullptr);
}

TEST(KeyComponents, MalformedListsAreRefused) {
  for (const char* hex : {"8008 01020304", "8000 00", "A0"}) {
    SCOPED_TRACE(hex);
    TSDByteArray list = Hex(hex);
    try {
      FindComponent(list, 0x11);
      if (list.Length() > 1) ADD_FAILURE();
    } catch (const ESDException& e) {
      EXPECT_EQ(e.Code(), sd::kInvalidArgument);
      EXPECT_STREQ(e.Message(), "Incorrect buffer format");
      EXPECT_STREQ(e.File(), "Crypto");
    }
  }
  TSDByteArray list;
  const uint8_t bad[] = {0x80, 0x08, 1, 2};
  EXPECT_THROW(SetComponents(list, bad, 4), ESDException);
  EXPECT_EQ(list.Length(), 4);  // the new bytes stay

  // A component with tag 00 before the fault does not end the check.
  const uint8_t hidden[] = {0x00, 0x01, 0xAA, 0x80, 0x08, 1, 2};
  EXPECT_THROW(SetComponents(list, hidden, 7), ESDException);
  const uint8_t good[] = {0x00, 0x01, 0xAA, 0x80, 0x01, 0x55};
  const uint8_t* zero = SetComponents(list, good, 6);
  EXPECT_EQ(zero, list.Data() + 2);
}

TEST(KeyComponents, AddComponent) {
  TSDByteArray list;
  std::vector<uint8_t> big(256, 0x5A);
  AddComponent(list, 0xA2, big.data(), 256);
  EXPECT_EQ(list.ByteAt(1), 0x00);  // 256 is written as 0
  int len = 0;
  ASSERT_NE(FindComponent(list, 0xA2, &len), nullptr);
  EXPECT_EQ(len, 256);
  AddComponent(list, 0x80, Hex("0102"));
  EXPECT_EQ(list.Length(), 256 + 2 + 4);

  struct Row {
    uint8_t tag;
    int length;
    uint16_t code;
    const char* message;
  } rows[] = {
      {0x80, 1, sd::kInvalidArgument, "Component 80 already exists"},
      {0x81, 0, sd::kLength, "Component length must be a value between 1 and 256"},
      {0x81, 257, sd::kLength, "Component length must be a value between 1 and 256"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.message);
    try {
      AddComponent(list, row.tag, big.data(), row.length);
      ADD_FAILURE();
    } catch (const ESDException& e) {
      EXPECT_EQ(e.Code(), row.code);
      EXPECT_STREQ(e.Message(), row.message);
    }
  }
  EXPECT_EQ(list.Length(), 262);

  // A list may take a copy of its own bytes as a component.
  TSDByteArray small = Hex("8001AA");
  AddComponent(small, 0xA0, small);
  EXPECT_EQ(test::HexOf(small), "8001AAA0038001AA");
}

// A stray last byte is skipped by the walk; a component appended behind it would be read
// from that byte on and be lost (or found with another component's bytes).
TEST(KeyComponents, AddComponentRefusesAListEndingInAStrayByte) {
  TSDByteArray list = Hex("8001AA 5B");
  const uint8_t value[] = {1, 2, 3};
  try {
    AddComponent(list, 0xA0, value, 3);
    ADD_FAILURE();
  } catch (const ESDException& e) {
    EXPECT_EQ(e.Code(), sd::kInvalidArgument);
    EXPECT_STREQ(e.Message(), "Incorrect buffer format");
  }
  EXPECT_EQ(list.Length(), 4);
  EXPECT_EQ(FindComponent(list, 0xA0), nullptr);
}

TEST(KeyComponents, OddParity) {
  uint8_t bytes[] = {0x00, 0x01, 0x02, 0x03, 0xFE, 0xFF};
  SetOddParity(bytes, 6);
  const uint8_t expected[] = {0x01, 0x01, 0x02, 0x02, 0xFE, 0xFE};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(bytes[i], expected[i]) << i;
}

}  // namespace
}  // namespace qorx
