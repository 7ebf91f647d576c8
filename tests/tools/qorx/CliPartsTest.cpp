// The parts of qorx that take outside input apart: arguments, session lines, certificate names
// from the card, and the JSON that scripts parse.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/ByteArray.h"
#include "tools/qorx/Args.h"
#include "tools/qorx/Certificate.h"
#include "tools/qorx/Output.h"

namespace qorx::cli {
namespace {

TEST(QorxArguments, OptionsAndTheirRefusals) {
  const Options o =
      ParseArguments({"--json", "sign", "--text=a b", "--pin-fd", "3", "--tag", "0x9F55"});
  EXPECT_EQ(o.command, "sign");
  EXPECT_TRUE(o.json);
  EXPECT_TRUE(o.hasText);
  EXPECT_EQ(o.text, "a b");
  EXPECT_EQ(o.pinFd, 3);
  EXPECT_EQ(o.tag, 0x9F55u);

  const std::vector<std::vector<std::string>> refused = {
      {"verify", "--pin", "1234"},   // never a PIN on the command line
      {"verify", "--pin-fd"},        // value missing
      {"verify", "--pin-fd", "3x"},  // not a number
      {"verify", "--pin-fd", "-1"},  // out of range
      {"sign", "extra", "words"},    // one command only
      {"hash", "--json=yes"},        // a flag takes no value
      {"certificate", "--format", "xml"},
      {"encrypt-password", "--tag", "0x10000"},
  };
  for (const auto& words : refused) EXPECT_THROW(ParseArguments(words), UsageError) << words[1];
}

TEST(QorxArguments, SessionLines) {
  EXPECT_EQ(SplitLine("  sign --text \"Pay 100.00\"  --json "),
            (std::vector<std::string>{"sign", "--text", "Pay 100.00", "--json"}));
  EXPECT_EQ(SplitLine("hash --text a\\\"b \"\""),
            (std::vector<std::string>{"hash", "--text", "a\"b", ""}));
  EXPECT_TRUE(SplitLine(" \t\r\n").empty());
  EXPECT_THROW(SplitLine("sign --text \"open"), UsageError);
}

TEST(QorxJson, StringsAlwaysParse) {
  EXPECT_EQ(JsonString("a\"b\\c\n\t\x01"), "\"a\\\"b\\\\c\\n\\t\\u0001\"");
  EXPECT_EQ(JsonString("caf\xC3\xA9"), "\"caf\xC3\xA9\"");
  // Broken UTF-8 (from a card or a file name) becomes U+FFFD instead of breaking the object.
  EXPECT_EQ(JsonString("\xC3"), "\"\xEF\xBF\xBD\"");
  EXPECT_EQ(JsonString("\xC0\xAF"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");                  // overlong
  EXPECT_EQ(JsonString("\xED\xA0\x80"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");  // surrogate
}

TSDByteArray Bytes(const std::vector<uint8_t>& b) {
  return TSDByteArray(b.data(), static_cast<int32_t>(b.size()));
}

TEST(QorxCertificateNames, RenderedFromCardBytesWithoutReadingPastThem) {
  // SEQUENCE { SET { SEQUENCE { OID 2.5.4.3, PrintableString "Ab" } },
  //            SET { SEQUENCE { OID 1.2.840.113549.1.9.1, IA5String "x\n" } } }
  const std::vector<uint8_t> name = {0x30, 0x1F, 0x31, 0x0B, 0x30, 0x09, 0x06, 0x03, 0x55,
                                     0x04, 0x03, 0x13, 0x02, 'A',  'b',  0x31, 0x10, 0x30,
                                     0x0E, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D,
                                     0x01, 0x09, 0x01, 0x16, 0x01, '\n'};
  EXPECT_EQ(RenderName(Bytes(name)), "CN=Ab, 1.2.840.113549.1.9.1=\\x0A");
  // Every truncation, and lengths that claim more than there is, render without overrun.
  for (size_t n = 0; n < name.size(); ++n) {
    const std::vector<uint8_t> cut(name.begin(), name.begin() + static_cast<long>(n));
    EXPECT_NO_FATAL_FAILURE(RenderName(Bytes(cut)));
  }
  EXPECT_EQ(RenderName(Bytes({0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF})), "?");
  EXPECT_EQ(RenderName(Bytes({0x30, 0x05, 0x31, 0x7F, 0x00})), "?");
}

}  // namespace
}  // namespace qorx::cli
