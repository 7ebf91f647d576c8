#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/Hex.h"
#include "core/Utf8.h"

namespace qorx {
namespace {

using utf8::Broken;
using utf8::Form;

constexpr Broken kPolicies[] = {Broken::kMaximalSubpart, Broken::kAnnounced,
                                Broken::kAnnouncedAnyLead, Broken::kEachByte};

const uint8_t* Bytes(const std::string& s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

// What Decode makes of all of `in`: ASCII as itself, U+FFFD as 'R', anything else as '?'.
std::string Sketch(const std::string& in, Broken broken) {
  std::string out;
  for (size_t i = 0; i < in.size();) {
    const utf8::Step step = utf8::Decode(Bytes(in) + i, in.size() - i, broken);
    out += step.cp < 0x80 ? static_cast<char>(step.cp) : step.cp == utf8::kReplacement ? 'R' : '?';
    i += step.length;
  }
  return out;
}

std::string Text(const TSDByteArray& text) {
  return std::string(text.CStr(), static_cast<size_t>(text.TextLength()));
}

TEST(Utf8, BrokenSequencesAsEachPolicyCutsThem) {
  struct Row {
    const char* name;
    std::string in;
    const char* expected[4];  // in the order of kPolicies
  } rows[] = {
      {"overlong 2-byte", "\xC0\xAF", {"RR", "RR", "R", "RR"}},
      {"overlong 3-byte", "\xE0\x80\xAF", {"RRR", "R", "R", "RRR"}},
      {"overlong 4-byte", "\xF0\x80\x80\xAF", {"RRRR", "R", "R", "RRRR"}},
      {"encoded surrogate", "\xED\xA0\x80", {"RRR", "R", "R", "RRR"}},
      {"above U+10FFFF", "\xF4\x90\x80\x80", {"RRRR", "R", "R", "RRRR"}},
      {"F5 lead", "\xF5\x80\x80\x80", {"RRRR", "RRRR", "R", "RRRR"}},
      {"never a lead", "\xF8\xFF", {"RR", "RR", "RR", "RR"}},
      {"stray continuation", "a\x80z", {"aRz", "aRz", "aRz", "aRz"}},
      {"cut short before ASCII", "\xE2\x82z", {"Rz", "Rz", "Rz", "RRz"}},
      {"cut short by a lead byte", "\xF0\x9F\xC3\xA9", {"R?", "R?", "R?", "RR?"}},
      {"cut short at the end", "ok\xF0\x9F\x98", {"okR", "okR", "okR", "okRRR"}},
  };
  for (const Row& row : rows) {
    for (size_t p = 0; p < 4; ++p) {
      SCOPED_TRACE(std::string(row.name) + ", policy " + std::to_string(p));
      EXPECT_EQ(Sketch(row.in, kPolicies[p]), row.expected[p]);
    }
  }
}

// Every scalar value encodes and decodes back whole under every policy; surrogate halves
// decode only as CESU-8.
TEST(Utf8, EveryCodePointRoundTrips) {
  for (uint32_t cp = 0; cp <= utf8::kMaxCodePoint; ++cp) {
    uint8_t bytes[4];
    const size_t n = utf8::Encode(cp, bytes);
    ASSERT_EQ(n, utf8::EncodedLength(cp)) << cp;
    const utf8::Step cesu = utf8::Decode(bytes, n, Broken::kMaximalSubpart, Form::kCesu8);
    ASSERT_TRUE(cesu.valid && cesu.cp == cp && cesu.length == n) << cp;
    for (Broken broken : kPolicies) {
      const utf8::Step step = utf8::Decode(bytes, n, broken);
      ASSERT_EQ(step.valid, !utf8::IsSurrogate(cp)) << cp;
      ASSERT_TRUE(!step.valid || (step.cp == cp && step.length == n)) << cp;
    }
  }
}

// The policies differ only in how far a broken sequence reaches: they agree on what is valid,
// never read past the end, and a valid sequence is the shortest form of its code point.
TEST(Utf8, PoliciesAgreeOnWhatIsValid) {
  const uint8_t tails[] = {0x00, 0x80, 0x8F, 0x90, 0xA0, 0xBF, 0xC0};
  for (int lead = 0x80; lead <= 0xFF; ++lead) {
    for (int second = 0; second <= 0xFF; ++second) {
      for (uint8_t third : tails) {
        for (uint8_t fourth : tails) {
          const uint8_t in[] = {static_cast<uint8_t>(lead), static_cast<uint8_t>(second), third,
                                fourth};
          const utf8::Step first = utf8::Decode(in, sizeof in);
          for (Broken broken : kPolicies) {
            const utf8::Step step = utf8::Decode(in, sizeof in, broken);
            ASSERT_EQ(step.valid, first.valid) << lead << " " << second;
            ASSERT_TRUE(step.length >= 1 && step.length <= sizeof in);
            if (!step.valid) continue;
            uint8_t again[4];
            ASSERT_EQ(utf8::Encode(step.cp, again), step.length);
            ASSERT_EQ(std::string(again, again + step.length), std::string(in, in + step.length));
          }
        }
      }
    }
  }
}

// What the callers' own tests do not reach: a reversed pair, CESU-8 halves kept as units, and
// broken sequences among halves.
TEST(Utf8, SurrogateHalves) {
  const std::u16string high(1, u'\xD83D'), low(1, u'\xDE00'), reversed = low + high;
  EXPECT_EQ(Text(utf8::FromUtf16(reversed.data(), 2)), "\xEF\xBF\xBD\xEF\xBF\xBD");
  const std::string cesu = "a\xED\xA0\xBD\xED\xB8\x80\xF0\x9F\x98\x80";
  std::u16string wide(
      utf8::ToUtf16(Bytes(cesu), cesu.size(), nullptr, Broken::kMaximalSubpart, Form::kCesu8),
      u'\0');
  utf8::ToUtf16(Bytes(cesu), cesu.size(), wide.data(), Broken::kMaximalSubpart, Form::kCesu8);
  EXPECT_EQ(wide, u"a" + high + low + high + low);
  const std::string joined = "\xED\xA0\xBD\xC0\x80\xED\xB8\x80\xF0\x9F\x98\x80\xE2\x82";
  const std::string R = "\xEF\xBF\xBD";
  EXPECT_EQ(Text(utf8::Cesu8ToUtf8(Bytes(joined), joined.size())),
            R + R + R + R + "\xF0\x9F\x98\x80" + R);
}

TEST(Utf8, TextWriterKeepsToItsCapacity) {
  utf8::TextWriter out(5);
  out.CodePoint(0x20AC);
  out.CodePoint(0x1F600);  // no room for its four bytes: left out whole
  for (char c : std::string("abc")) out.Byte(static_cast<uint8_t>(c));
  const TSDByteArray text = out.Finish();
  EXPECT_EQ(text.Length(), 6);
  EXPECT_EQ(Text(text),
            "\xE2\x82\xAC"
            "ab");
}

// Byte arrays' hex has its own rows; these are what vectors add.
TEST(Hex, Vectors) {
  const std::string withNul(
      "12\0"
      "34",
      5);  // a NUL does not end the text here
  for (const std::string& bad : {withNul, std::string("abc")}) {
    std::vector<uint8_t> bytes = {0x5A};
    EXPECT_FALSE(ParseHex(bad, &bytes));
    EXPECT_EQ(bytes, std::vector<uint8_t>{0x5A});
  }
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(ParseHex("00 ab\r\nFF", &bytes));
  EXPECT_EQ(ToHex(bytes), "00ABFF");
}

}  // namespace
}  // namespace qorx
