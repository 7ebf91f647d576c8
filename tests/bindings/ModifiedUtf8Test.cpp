#include "bindings/java/ModifiedUtf8.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/bindings/FakeJni.h"

namespace qorx {
namespace {

std::string ToModified(const std::string& in) {
  TSDByteArray out = Utf8ToModifiedUtf8(reinterpret_cast<const uint8_t*>(in.data()), in.size());
  EXPECT_EQ(out.ByteAt(out.Length() - 1), 0) << "not terminated";
  return std::string(reinterpret_cast<const char*>(out.Data()),
                     static_cast<size_t>(out.TextLength()));
}

const std::string kFFFD = "\xEF\xBF\xBD";

struct Row {
  const char* name;
  std::string in;
  std::string out;
};

TEST(ModifiedUtf8, FromLibraryText) {
  const Row rows[] = {
      {"empty", "", ""},
      {"ASCII", "Reader 0", "Reader 0"},
      {"NUL", std::string("a\0b", 3),
       "a\xC0\x80"
       "b"},
      {"2-byte", "\xC3\xA9", "\xC3\xA9"},
      {"3-byte", "\xE2\x82\xAC", "\xE2\x82\xAC"},
      {"last BMP", "\xEF\xBF\xBF", "\xEF\xBF\xBF"},
      {"first supplementary", "\xF0\x90\x80\x80", "\xED\xA0\x80\xED\xB0\x80"},
      {"emoji", "\xF0\x9F\x98\x80", "\xED\xA0\xBD\xED\xB8\x80"},
      {"last code point", "\xF4\x8F\xBF\xBF", "\xED\xAF\xBF\xED\xBF\xBF"},
      {"stray continuation", "a\x80z", "a" + kFFFD + "z"},
      {"two stray continuations", "\x80\xBF", kFFFD + kFFFD},
      {"C0 and C1 are never valid", "\xC0\x80\xC1\xBF", kFFFD + kFFFD + kFFFD + kFFFD},
      {"overlong 3-byte", "\xE0\x80\xAF", kFFFD + kFFFD + kFFFD},
      {"encoded surrogate", "\xED\xA0\x80", kFFFD + kFFFD + kFFFD},
      {"above U+10FFFF", "\xF4\x90\x80\x80", kFFFD + kFFFD + kFFFD + kFFFD},
      {"F5 and above", "\xF5\xFF", kFFFD + kFFFD},
      {"cut short at the end", "ok\xE2\x82", "ok" + kFFFD},
      {"cut short before ASCII", "\xF0\x9F\x98Z", kFFFD + "Z"},
      {"cut short before a lead byte", "\xE2\xC3\xA9", kFFFD + "\xC3\xA9"},
      {"Latin-1 text", "caf\xE9", "caf" + kFFFD},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(ToModified(row.in), row.out);
  }
}

struct BackRow {
  const char* name;
  std::string in;
  bool ok;
  std::string out;
};

TEST(ModifiedUtf8, ToLibraryText) {
  const BackRow rows[] = {
      {"empty", "", true, ""},
      {"ASCII", "abc", true, "abc"},
      {"2- and 3-byte", "\xC3\xA9\xE2\x82\xAC", true, "\xC3\xA9\xE2\x82\xAC"},
      {"pair joins", "\xED\xA0\xBD\xED\xB8\x80", true, "\xF0\x9F\x98\x80"},
      {"lone high half", "\xED\xA0\xBDx", true, kFFFD + "x"},
      {"lone low half", "\xED\xB8\x80", true, kFFFD},
      {"two high halves then a low one", "\xED\xA0\xBD\xED\xA0\xBD\xED\xB8\x80", true,
       kFFFD + "\xF0\x9F\x98\x80"},
      {"NUL is refused", "a\xC0\x80", false, ""},
      {"raw zero byte", std::string("a\0", 2), false, ""},
      {"4-byte form never comes from a JVM", "\xF0\x9F\x98\x80", false, ""},
      {"truncated", "\xE2\x82", false, ""},
      {"stray continuation", "\x80", false, ""},
      {"overlong ASCII", "\xC1\x81", false, ""},
  };
  for (const BackRow& row : rows) {
    SCOPED_TRACE(row.name);
    TSDByteArray out("untouched");
    EXPECT_EQ(
        ModifiedUtf8ToUtf8(reinterpret_cast<const uint8_t*>(row.in.data()), row.in.size(), &out),
        row.ok);
    EXPECT_STREQ(out.CStr(), row.ok ? row.out.c_str() : "untouched");
  }
}

// Every code point but NUL goes UTF-8 -> modified UTF-8 -> UTF-8 unchanged.
TEST(ModifiedUtf8, RoundTripOfEveryCodePoint) {
  std::string utf8;
  for (uint32_t cp = 1; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    test::AppendUtf8(&utf8, cp);
  }
  const std::string modified = ToModified(utf8);
  EXPECT_EQ(modified.find('\0'), std::string::npos);
  TSDByteArray back;
  ASSERT_TRUE(ModifiedUtf8ToUtf8(reinterpret_cast<const uint8_t*>(modified.data()), modified.size(),
                                 &back));
  EXPECT_EQ(back.TextLength(), static_cast<int32_t>(utf8.size()));
  EXPECT_TRUE(std::string(back.CStr()) == utf8);
}

// No input, however broken, yields anything but valid modified UTF-8.
TEST(ModifiedUtf8, EveryTwoByteInputGivesValidOutput) {
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const std::string in{static_cast<char>(a), static_cast<char>(b)};
      const std::string out = ToModified(in);
      TSDByteArray back;
      ASSERT_TRUE(
          ModifiedUtf8ToUtf8(reinterpret_cast<const uint8_t*>(out.data()), out.size(), &back) ||
          out.find("\xC0\x80") != std::string::npos)
          << a << " " << b;
    }
  }
}

}  // namespace
}  // namespace qorx
