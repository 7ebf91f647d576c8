#include "transport/TLV.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/Exceptions.h"
#include "tests/support/TestSupport.h"

namespace qorx {
namespace {

using test::CodeOf;
using test::Hex;
using test::HexOf;

// Hex text of `n` bytes counting up from 0.
std::string Counting(int n) {
  TSDByteArray a(n);
  for (int i = 0; i < n; ++i) a.SetByte(i, static_cast<uint8_t>(i));
  return HexOf(a);
}

// Every decoding failure of this unit: 0xC500, unit TLV, no message.
void ExpectMalformed(const std::function<void()>& f) {
  test::Raised raised = test::CatchSD(f);
  EXPECT_EQ(raised.code, sd::kMalformed);
  EXPECT_EQ(raised.unit, unit::kTLV);
  EXPECT_EQ(raised.message, "");
}

TEST(TLV, ParseHeaderAcceptsAndRejects) {
  const int m1 = TSDBaseTLV::kHeaderTag, m3 = TSDBaseTLV::kHeaderTagLength,
            m7 = TSDBaseTLV::kHeaderComplete;
  struct Row {
    std::string hex;
    int mode, result, tag, length;
  };
  const std::vector<Row> rows = {
      // nothing but padding
      {"", m7, 0, 0, 0},
      {"00FF00", m1, 0, 0, 0},
      {"00FF00", m7, 0, 0, 0},
      // one-byte tags, short lengths; the offset counts leading padding
      {"6F038401A0", m7, 2, 0x6F, 3},
      {"6F038401A00000FF", m7, 2, 0x6F, 3},
      {"00FF5A01AA", m7, 4, 0x5A, 1},
      {"5A", m1, 1, 0x5A, 0},
      {"5A80", m7, 2, 0x5A, 0},  // 80 is length 0, not the indefinite form
      // two-byte tags
      {"9F180400000001", m7, 3, 0x9F18, 4},
      {"9F18", m1, 2, 0x9F18, 0},
      {"1F0000", m7, 3, 0x1F00, 0},
      // long forms, also where a short form would have done
      {"5A8180" + Counting(128), m7, 3, 0x5A, 128},
      {"5A8105" + Counting(5), m7, 3, 0x5A, 5},
      {"5A820100" + Counting(256), m7, 4, 0x5A, 256},
      {"5A820003AABBCC", m7, 4, 0x5A, 3},
      // modes 1 and 3 do not look at the value
      {"6F038401A001", m3, 2, 0x6F, 3},
      {"5A02AA", m3, 2, 0x5A, 2},
      {"5A8180", m3, 3, 0x5A, 128},
  };
  const std::vector<Row> rejected = {
      {"9F", m1, -1, 0, 0},            // second tag byte missing
      {"5A", m3, -1, 0, 0},            // length missing
      {"9F18", m3, -1, 0, 0},          //
      {"5A81", m3, -1, 0, 0},          // 81 without its byte
      {"5A8201", m3, -1, 0, 0},        // 82 with one byte of two
      {"5A830000010A", m3, -1, 0, 0},  // 83 and above are invalid
      {"5A8400000001AA", m3, -1, 0, 0},
      {"5AFF", m3, -1, 0, 0},
      {"5A02AA", m7, -1, 0, 0},        // value truncated
      {"6F038401A001", m7, -1, 0, 0},  // garbage after the element
      {"5A01AAFF01", m7, -1, 0, 0},    // garbage after padding
  };
  TSDTLV tlv;
  for (const auto* table : {&rows, &rejected}) {
    for (const Row& row : *table) {
      SCOPED_TRACE(row.hex + " mode " + std::to_string(row.mode));
      int tag = -5, length = -5;
      EXPECT_EQ(tlv.ParseHeader(Hex(row.hex), row.mode, &tag, &length), row.result);
      if (row.result >= 0) {
        EXPECT_EQ(tag, row.tag);
        EXPECT_EQ(length, row.length);
      }
    }
  }
  EXPECT_EQ(tlv.ParseHeader(Hex("5A01AA"), m7, nullptr, nullptr), 2);
}

TEST(TLV, DecodesCompleteElements) {
  struct Row {
    std::string hex;
    int tag, length;
    std::string value;
    bool constructed;
    int headerLength;
  };
  const std::vector<Row> rows = {
      {"6F038401A00000FF", 0x6F, 3, "8401A0", true, 2},
      {"9F180400000001", 0x9F18, 4, "00000001", false, 3},
      {"5A8180" + Counting(128), 0x5A, 128, Counting(128), false, 3},
      {"FF005A01AA", 0x5A, 1, "AA", false, 4},
      {"5A00", 0x5A, 0, "", false, 2},
      {"BF0C00", 0xBF0C, 0, "", true, 3},  // constructed bit of a two-byte tag's first byte
      {"7F4900", 0x7F49, 0, "", true, 3},
      {"1F2000", 0x1F20, 0, "", false, 3},  // 0x20 of the second byte says nothing
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.hex);
    TSDTLV tlv(Hex(row.hex));
    EXPECT_TRUE(tlv.IsValid());
    EXPECT_EQ(tlv.Tag(), row.tag);
    EXPECT_EQ(tlv.Length(), row.length);
    EXPECT_EQ(HexOf(tlv.Value()), row.value);
    EXPECT_EQ(tlv.ValuePointer(), tlv.Encoding().Data() + row.headerLength);
    EXPECT_EQ(tlv.IsConstructed(), row.constructed);
    EXPECT_EQ(tlv.HeaderLength(), row.headerLength);
  }
}

TEST(TLV, EveryDecodingOperationRejectsABrokenEncoding) {
  struct Row {
    std::string hex;
    bool valid;  // empty and all-padding encodings are valid but hold no element
  };
  const std::vector<Row> rows = {
      {"", true},
      {"00FF00", true},
      {"6F038401A00000FF01", false},
      {"5A8300000101AA", false},
      {"9F", false},
      {"5A", false},
      {"5A02AA", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.hex);
    TSDTLV tlv(Hex(row.hex));
    EXPECT_EQ(tlv.IsValid(), row.valid);
    ExpectMalformed([&] { tlv.Tag(); });
    ExpectMalformed([&] { tlv.Length(); });
    ExpectMalformed([&] { tlv.ValuePointer(); });
    ExpectMalformed([&] { tlv.Value(); });
    ExpectMalformed([&] { tlv.IsConstructed(); });
    ExpectMalformed([&] { tlv.ChildCount(); });
    ExpectMalformed([&] { tlv.ChildAt(0); });
    ExpectMalformed([&] { tlv.AppendValue(Hex("01")); });
    EXPECT_EQ(HexOf(tlv.Encoding()), row.hex);  // nothing was changed by the failures
  }
}

TEST(TLV, WalksChildren) {
  struct Row {
    std::string hex;
    int count;
    std::vector<std::string> children;  // ChildAt(0), ChildAt(1), ...
  };
  const std::vector<Row> rows = {
      {"6F038401A00000FF", 1, {"8401A0"}},
      {"7000", 0, {}},
      {"5A0111", 0, {}},  // primitive: no children
      {"70065A01119F1800", 2, {"5A0111", "9F1800"}},
      // padding between children stays with the following child
      {"70085A0111FF005F2000", 2, {"5A0111", "FF005F2000"}},
      {"7004000000FF", 0, {}},   // padding only
      {"BF0C035A0511", -1, {}},  // the child claims 5 bytes of a 3-byte value
      {"70035A0111", 1, {"5A0111"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.hex);
    TSDTLV tlv(Hex(row.hex));
    EXPECT_EQ(tlv.ChildCount(), row.count);
    if (row.count < 0 || !tlv.IsConstructed()) continue;
    for (size_t i = 0; i < row.children.size(); ++i) {
      EXPECT_EQ(HexOf(tlv.ChildAt(static_cast<int>(i)).Encoding()), row.children[i]);
    }
    EXPECT_EQ(tlv.ChildAt(row.count).EncodingLength(), 0);
    EXPECT_EQ(tlv.ChildAt(-1).EncodingLength(), 0);
  }

  TSDTLV fci(Hex("6F038401A00000FF"));
  EXPECT_EQ(fci.ChildAt(0).Tag(), 0x84);
  EXPECT_EQ(HexOf(fci.ChildAt(0).Value()), "A0");
  EXPECT_EQ(fci.ChildAt(0).Qualifier(), 0);
}

TEST(TLV, ChildWalkRejectsBrokenChildren) {
  // Primitive element; malformed child; child running past the value (also where the bytes
  // after the value are padding that it could reach into); a broken child after a good one.
  for (const char* hex : {"5A0111", "70025A05", "70025A02FFFF", "70045A011101"}) {
    SCOPED_TRACE(hex);
    TSDTLV tlv(Hex(hex));
    ExpectMalformed([&] { tlv.ChildAt(5); });
  }
  EXPECT_EQ(TSDTLV(Hex("70025A02FFFF")).ChildCount(), -1);
  EXPECT_EQ(TSDTLV(Hex("70055A011101AA")).ChildCount(), -1);
  // The walk stops at the child asked for, before the broken one.
  EXPECT_EQ(HexOf(TSDTLV(Hex("70045A011101")).ChildAt(0).Encoding()), "5A0111");
}

TEST(TLV, BuildEncodesHeaders) {
  struct Row {
    int tag, length;
    std::string header;
  };
  const std::vector<Row> rows = {
      {0x9F18, 4, "9F1804"},   {0x0123, 1, "2301"},       {0x5A, 0, "5A00"},
      {0x5A, 127, "5A7F"},     {0x5A, 128, "5A8180"},     {0x5A, 255, "5A81FF"},
      {0x5A, 256, "5A820100"}, {0x5A, 65535, "5A82FFFF"}, {0xBF0C, 1, "BF0C01"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.header);
    TSDByteArray value(row.length);
    if (row.length > 0) value.SetByte(row.length - 1, 0xEE);
    TSDTLV tlv(row.tag, value);
    EXPECT_EQ(HexOf(tlv.Encoding().Mid(0, static_cast<int32_t>(row.header.size() / 2))),
              row.header);
    EXPECT_EQ(tlv.EncodingLength(), static_cast<int32_t>(row.header.size() / 2) + row.length);
    EXPECT_TRUE(tlv.Value() == value);
  }

  TSDTLV tlv(Hex("5A0111"));
  tlv.Build(0, Hex("AABB"));
  EXPECT_EQ(tlv.EncodingLength(), 0);
  // A value no header can describe is refused instead of being cut.
  tlv.SetEncoding(Hex("5A0111"));
  EXPECT_EQ(CodeOf([&] { tlv.Build(0x5A, TSDByteArray(65536)); }), sd::kLength);
  EXPECT_EQ(HexOf(tlv.Encoding()), "5A0111");
}

TEST(TLV, AppendValueReencodesTheLength) {
  struct Row {
    std::string before, more, after;
  };
  const std::vector<Row> rows = {
      {"5A0111", "22", "5A021122"},
      {"5A00", "", "5A00"},
      {"5A8105" + Counting(5), "", "5A05" + Counting(5)},
      {"5A7F" + Counting(127), "7F", "5A8180" + Counting(128)},  // the header grows
      {"5A81FF" + Counting(255), "FF", "5A820100" + Counting(256)},
      {"00FF5A0111FF", "22", "5A021122"},  // padding around the element is dropped
      {"9F180100", "0102", "9F1803000102"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.before);
    TSDTLV tlv(Hex(row.before));
    tlv.AppendValue(Hex(row.more));
    EXPECT_EQ(HexOf(tlv.Encoding()), row.after);
  }

  TSDTLV self(Hex("5A0111"));
  self.AppendValue(self.Encoding());
  EXPECT_EQ(HexOf(self.Encoding()), "5A04115A0111");

  TSDTLV full(0x5A, TSDByteArray(65535));
  EXPECT_EQ(CodeOf([&] { full.AppendValue(Hex("01")); }), sd::kLength);
  EXPECT_EQ(full.Length(), 65535);
}

TEST(TLV, TakeFirstSpansTheFirstElement) {
  struct Row {
    std::string input;
    int result;
    std::string encoding;  // after the call; "5A01FF" was there before
  };
  const std::vector<Row> rows = {
      {"5A01119F1800", 3, "5A0111"},
      {"FF005A0111AA", 5, "FF005A0111"},
      {"5A00", 2, "5A00"},
      {"", 0, "5A01FF"},
      {"00FF", 0, "5A01FF"},
      {"5A0211", -1, "5A01FF"},  // runs past the end
      {"5A8300000101", -1, "5A01FF"},
      {"9F", -1, "5A01FF"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.input);
    TSDTLV tlv(Hex("5A01FF"));
    EXPECT_EQ(tlv.TakeFirst(Hex(row.input)), row.result);
    EXPECT_EQ(HexOf(tlv.Encoding()), row.encoding);
  }
}

TEST(TLV, CopiesShareTheEncodingAndKeepTheQualifier) {
  TSDTLV a(Hex("5A0111"));
  a.SetQualifier(7);
  TSDTLV b(a);
  EXPECT_EQ(b.Encoding().Data(), a.Encoding().Data());
  EXPECT_EQ(b.Qualifier(), 7);
  TSDTLV c;
  c = a;
  EXPECT_EQ(c.Encoding().ShareCount(), 3);
  EXPECT_EQ(c.Qualifier(), 7);
  c.AppendValue(Hex("22"));
  EXPECT_EQ(HexOf(a.Encoding()), "5A0111");
}

TEST(TLVStore, PutReplacesTheTagWhateverItsQualifier) {
  TSDTLVStore store;
  EXPECT_EQ(store.Put(TSDTLV(Hex("8401A0")), 1), 0);
  EXPECT_EQ(store.Put(TSDTLV(Hex("5A0111")), 2), 1);
  EXPECT_EQ(store.Put(TSDTLV(Hex("8401B0")), 3), 1);  // replaces, goes to the end
  ASSERT_EQ(store.Count(), 2);
  EXPECT_EQ(store.At(0).Tag(), 0x5A);
  EXPECT_EQ(HexOf(store.At(1).Encoding()), "8401B0");
  EXPECT_EQ(store.At(1).Qualifier(), 3);
  EXPECT_EQ(store.At(2).EncodingLength(), 0);

  // Only complete elements go in; a failed Put leaves the store as it was.
  for (const char* hex : {"", "00FF", "5A02AA", "8401A001"}) {
    SCOPED_TRACE(hex);
    ExpectMalformed([&] { store.Put(TSDTLV(Hex(hex)), 0); });
    EXPECT_EQ(store.Count(), 2);
  }
}

TEST(TLVStore, GetMatchesTagAndQualifier) {
  TSDTLVStore store;
  store.Put(TSDTLV(Hex("5A0111")), 1);
  store.Put(TSDTLV(Hex("9F180122")), 2);
  struct Row {
    int tag, qualifier;
    std::string encoding;
  };
  const std::vector<Row> rows = {
      {0x5A, 1, "5A0111"}, {0x5A, -1, "5A0111"}, {0x5A, 2, ""},  {0x9F18, 2, "9F180122"},
      {0x9F, -1, ""},      {0x18, -1, ""},       {0x84, -1, ""}, {0, -1, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.tag);
    EXPECT_EQ(HexOf(store.Get(row.tag, row.qualifier).Encoding()), row.encoding);
  }
  TSDTLV got = store.Get(0x5A, -1);
  EXPECT_EQ(got.Qualifier(), 1);
  got.AppendValue(Hex("33"));
  got.SetQualifier(9);
  EXPECT_EQ(HexOf(store.Get(0x5A, 1).Encoding()), "5A0111");
}

TEST(TLVStore, RemoveMatchingAndPacks) {
  struct Row {
    int tag, qualifier;
    bool removed;
    std::string left;  // tags left, in order
  };
  const std::vector<Row> rows = {
      {0x5A, -1, true, "8457"}, {0x5A, 1, true, "8457"}, {0x5A, 2, false, "5A8457"},
      {0, 2, true, "5A"},       {0, -1, true, ""},       {0x99, -1, false, "5A8457"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.tag) + "/" + std::to_string(row.qualifier));
    TSDTLVStore store;
    store.Put(TSDTLV(Hex("5A0111")), 1);
    store.Put(TSDTLV(Hex("8400")), 2);
    store.Put(TSDTLV(Hex("5700")), 2);
    EXPECT_EQ(store.RemoveMatching(row.tag, row.qualifier), row.removed);
    std::string left;
    for (int32_t i = 0; i < store.Count(); ++i) left += HexOf(store.At(i).Encoding()).substr(0, 2);
    EXPECT_EQ(left, row.left);
  }
}

TEST(TLVStore, ParseAllFlattensResponses) {
  struct Row {
    std::string hex;
    bool recursive;
    std::vector<std::string> stored;  // encodings, in store order
  };
  const std::vector<Row> rows = {
      {"", true, {}},
      {"000000", true, {}},
      {"FFFF", true, {}},
      {"6F038401A0", false, {"6F038401A0"}},
      {"6F038401A0", true, {"6F038401A0", "8401A0"}},
      {"00006F038401A000005A0111", true, {"6F038401A0", "8401A0", "5A0111"}},
      // FF is padding of the element that follows it
      {"FF5A0111", true, {"FF5A0111"}},
      // a later element with a stored tag replaces the earlier one, also a child
      {"6F038401A08401B0", true, {"6F038401A0", "8401B0"}},
      {"8401B06F038401A0", true, {"6F038401A0", "8401A0"}},
      {"E1077005BF0C025A00", true, {"E1077005BF0C025A00", "7005BF0C025A00", "BF0C025A00", "5A00"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.hex + (row.recursive ? " recursive" : ""));
    TSDTLVStore store;
    store.ParseAll(Hex(row.hex), row.recursive, 4);
    ASSERT_EQ(store.Count(), static_cast<int32_t>(row.stored.size()));
    for (int32_t i = 0; i < store.Count(); ++i) {
      EXPECT_EQ(HexOf(store.At(i).Encoding()), row.stored[static_cast<size_t>(i)]);
      EXPECT_EQ(store.At(i).Qualifier(), 4);
    }
  }
}

TEST(TLVStore, ParseAllKeepsWhatWasPutBeforeAFault) {
  struct Row {
    std::string hex;
    std::vector<std::string> kept;
  };
  const std::vector<Row> rows = {
      {"5A011101", {"5A0111"}},            // a tag without a length after a good element
      {"5A0111FF01", {"5A0111"}},          // garbage behind padding
      {"5A01115F2005AA", {"5A0111"}},      // value runs past the end
      {"5A0111578300000101", {"5A0111"}},  // invalid length form
      {"6F035A0211", {"6F035A0211"}},      // broken child, found after its parent
      {"6F065A0111570299", {"6F065A0111570299", "5A0111"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.hex);
    TSDTLVStore store;
    ExpectMalformed([&] { store.ParseAll(Hex(row.hex), true, 0); });
    ASSERT_EQ(store.Count(), static_cast<int32_t>(row.kept.size()));
    for (int32_t i = 0; i < store.Count(); ++i)
      EXPECT_EQ(HexOf(store.At(i).Encoding()), row.kept[static_cast<size_t>(i)]);
  }
}

TEST(TLVStore, DeepNestingNeedsNoStack) {
  // 3,000 levels of 70 around 5A 01 11: each level replaces the one above it in the store.
  TSDTLV nested(Hex("5A0111"));
  for (int i = 0; i < 3000; ++i) nested = TSDTLV(0x70, nested.Encoding());
  TSDTLVStore store;
  store.ParseAll(nested.Encoding(), true, 0);
  ASSERT_EQ(store.Count(), 2);
  EXPECT_EQ(HexOf(store.At(0).Encoding()), "70035A0111");
  EXPECT_EQ(HexOf(store.At(1).Encoding()), "5A0111");
}

}  // namespace
}  // namespace qorx
