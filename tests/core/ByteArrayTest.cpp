#include "core/ByteArray.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/Exceptions.h"
#include "tests/support/Seams.h"
#include "tests/support/TestSupport.h"

namespace qorx {
namespace {

using test::CodeOf;
using test::Hex;
using test::HexOf;

TEST(ByteArray, CopiesShareUntilOneChanges) {
  TSDByteArray a = Hex("010203");
  TSDByteArray b = a;
  EXPECT_EQ(a.Data(), b.Data());
  EXPECT_EQ(a.ShareCount(), 2);
  b.SetByte(0, 0xFF);
  EXPECT_EQ(HexOf(a), "010203");
  EXPECT_EQ(HexOf(b), "FF0203");
  EXPECT_EQ(a.ShareCount(), 1);
  EXPECT_EQ(b.ShareCount(), 1);
}

TEST(ByteArray, LengthChangesKeepContentAndPad) {
  TSDByteArray a = Hex("AABB");
  a.SetLength(4);
  EXPECT_EQ(HexOf(a), "AABB0000");
  a.SetLength(1);
  EXPECT_EQ(HexOf(a), "AA");
  a.SetLength(0);
  EXPECT_EQ(a.Length(), 0);
  EXPECT_NE(a.Data(), nullptr);
}

TEST(ByteArray, EditingOperations) {
  TSDByteArray a = Hex("01020304");
  a.Insert(1, 2);
  EXPECT_EQ(a.Length(), 6);
  EXPECT_EQ(a.ByteAt(0), 0x01);
  EXPECT_EQ(HexOf(a.Mid(3, 3)), "020304");
  a = Hex("0102030405");
  a.Remove(1, 2);
  EXPECT_EQ(HexOf(a), "010405");
  a.Append(Hex("AA"));
  EXPECT_EQ(HexOf(a), "010405AA");
  a.Append(a);  // appending itself doubles the content
  EXPECT_EQ(HexOf(a), "010405AA010405AA");
  TSDByteArray c = Hex("01").Concat(Hex("02"));
  EXPECT_EQ(HexOf(c), "0102");
  TSDByteArray w = Hex("0102");
  w.Write(1, Hex("AABBCC"));
  EXPECT_EQ(HexOf(w), "01AABBCC");
  w.SetByte(6, 0x07);
  EXPECT_EQ(HexOf(w), "01AABBCC000007");
  uint8_t out[2] = {0x55, 0x55};
  EXPECT_FALSE(w.CopyOut(6, out, 2));  // out of range: nothing copied
  EXPECT_EQ(out[0], 0x55);
  EXPECT_TRUE(w.CopyOut(1, out, 2));
  EXPECT_EQ(out[1], 0xBB);
  EXPECT_FALSE(w.CopyOut(-1, out, 1));
}

// Bytes handed over by pointer may lie in the very array being changed: growing must not
// free them before they are copied, and an overlapping write must move, not copy.
TEST(ByteArray, RawWritesFromItsOwnBytes) {
  struct Row {
    const char* name;
    void (*edit)(TSDByteArray&);
    const char* after;
  } rows[] = {
      {"append own tail", [](TSDByteArray& a) { a.Append(a.DataAt(2), 3); }, "0102030405030405"},
      {"write over itself", [](TSDByteArray& a) { a.Write(1, a.Data(), 3); }, "0101020305"},
      {"write past its end", [](TSDByteArray& a) { a.Write(4, a.Data(), 3); }, "01020304010203"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (bool shared : {false, true}) {
      TSDByteArray a = Hex("0102030405");
      TSDByteArray other = a;
      if (!shared) other = TSDByteArray();
      row.edit(a);
      EXPECT_EQ(HexOf(a), row.after);
      if (shared) {
        EXPECT_EQ(HexOf(other), "0102030405");
      }
    }
  }
}

TEST(ByteArray, FromHexAcceptsAndRejects) {
  struct Row {
    const char* text;
    const char* hex;  // nullptr: rejected with 0xC500
  } rows[] = {
      {"0a 1B\n2c", "0A1B2C"}, {"0 a", "0A"},      {"", ""},          {" \t\r\n", ""},
      {"ffFF", "FFFF"},        {"abc", nullptr},   {"0x12", nullptr}, {"12 G0", nullptr},
      {"1", nullptr},          {"12-34", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    TSDByteArray a = Hex("5A5A");
    if (row.hex != nullptr) {
      a.FromHex(row.text);
      EXPECT_EQ(HexOf(a), row.hex);
    } else {
      EXPECT_EQ(CodeOf([&] { a.FromHex(row.text); }), sd::kMalformed);
      EXPECT_EQ(HexOf(a), "5A5A");  // old content kept
    }
  }
}

TEST(ByteArray, ToHexForms) {
  TSDByteArray a = Hex("00ABFF");
  TSDByteArray plain = a.ToHex();
  EXPECT_STREQ(plain.CStr(), "00ABFF");
  EXPECT_EQ(plain.Length(), 7);
  TSDByteArray spaced = a.ToHex(true);
  EXPECT_STREQ(spaced.CStr(), "00 AB FF");
  EXPECT_EQ(spaced.Length(), 10);  // the width of three per byte plus one NUL is kept
  EXPECT_STREQ(TSDByteArray().ToHex().CStr(), "");
  EXPECT_EQ(TSDByteArray().ToHex().Length(), 1);
}

TEST(ByteArray, TextOperations) {
  TSDByteArray t;
  t.Fill(3, 'x');
  EXPECT_STREQ(t.CStr(), "xxx");
  EXPECT_EQ(t.Length(), 4);
  EXPECT_EQ(t.TextLength(), 3);
  t.AssignText("reader");
  EXPECT_EQ(t.Length(), 7);
  t.AssignText(t.CStr() + 2);  // assigning a tail of itself
  EXPECT_STREQ(t.CStr(), "ader");
  EXPECT_EQ(TSDByteArray::EmptyText().Length(), 1);
  TSDByteArray raw = Hex("414243");
  EXPECT_STREQ(TSDByteArray::TextCopy(raw).CStr(), "AB");  // last byte forced to NUL
  EXPECT_EQ(TSDByteArray::PrefixCopy(TSDByteArray("abc"), false).Length(), 3);
  EXPECT_EQ(TSDByteArray::PrefixCopy(TSDByteArray("abc"), true).Length(), 4);
  TSDByteArray copy;
  copy.AssignCopy(raw);
  EXPECT_EQ(copy, raw);
  EXPECT_NE(copy.Data(), raw.Data());
}

std::vector<std::vector<uint8_t>>* g_released = nullptr;
void RecordRelease(const void* data, size_t len) {
  if (g_released != nullptr) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    g_released->emplace_back(p, p + len);
  }
}

TEST(ByteArray, ReleasedBlocksAreWipedBeforeFree) {
  std::vector<std::vector<uint8_t>> released;
  g_released = &released;
  SetReleaseObserver(&RecordRelease);
  {
    TSDByteArray secret = Hex("3132333435363738");
    TSDByteArray shared = secret;
    shared.SetLength(4);  // the grown/shrunk copy releases the old block only once both go
  }
  SetReleaseObserver(nullptr);
  g_released = nullptr;
  ASSERT_FALSE(released.empty());
  bool sawSecretSize = false;
  for (const auto& block : released) {
    if (block.size() == 8) sawSecretSize = true;
    for (uint8_t b : block) EXPECT_EQ(b, 0);
  }
  EXPECT_TRUE(sawSecretSize);
}

class TempFile {
 public:
  explicit TempFile(const std::string& content) {
    char name[] = "/tmp/qorx-bytearray-XXXXXX";
    int fd = mkstemp(name);
    path_ = name;
    if (fd >= 0) {
      if (!content.empty()) {
        EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
      }
      close(fd);
    }
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const char* Path() const { return path_.c_str(); }

 private:
  std::string path_;
};

TEST(ByteArray, LoadFromFile) {
  TempFile empty("");
  TSDByteArray a = Hex("AA");
  a.LoadFromFile(empty.Path());
  EXPECT_EQ(a.Length(), 0);

  TempFile data(std::string("ab\0c", 4));
  a.LoadFromFile(data.Path());
  EXPECT_EQ(HexOf(a), "61620063");

  struct Row {
    const char* path;
    uint16_t code;
    const char* message;
  } rows[] = {
      {nullptr, sd::kInvalidArgument, "pszFileName"},
      {"/nonexistent/qorx", sd::kFileOpen, "Cannot open file"},
      {"/tmp", sd::kFileOpen, "Cannot open file"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.message);
    TSDByteArray keep = Hex("0102");
    try {
      keep.LoadFromFile(row.path);
      ADD_FAILURE() << "no exception";
    } catch (const ESDException& e) {
      EXPECT_EQ(e.Code(), row.code);
      EXPECT_STREQ(e.Message(), row.message);
      EXPECT_STREQ(e.File(), "Objects");
    }
    EXPECT_EQ(HexOf(keep), "0102");
  }
}

TEST(ByteArray, LoadFromFileRefusesTwoGigabytes) {
  TempFile big("");
  // A sparse file: its size is what counts, not its blocks.
  ASSERT_EQ(truncate(big.Path(), 0x80000000LL), 0);
  TSDByteArray a = Hex("01");
  try {
    a.LoadFromFile(big.Path());
    ADD_FAILURE() << "no exception";
  } catch (const ESDException& e) {
    EXPECT_EQ(e.Code(), sd::kFileTooLarge);
    EXPECT_STREQ(e.Message(), "File bigger than 2GB");
  }
  EXPECT_EQ(HexOf(a), "01");
}

}  // namespace
}  // namespace qorx
