#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "bindings/control/Com.h"

namespace qorx::com {
namespace {

std::string Utf8(const std::u16string& text) {
  return Utf16ToUtf8(text.data(), text.size()).CStr();
}

TEST(Bstr, LengthPrefixNulAndNullAsEmpty) {
  BSTR text = SysAllocString(u"abc");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(SysStringLen(text), 3u);
  EXPECT_EQ(SysStringByteLen(text), 6u);
  uint32_t prefix;
  std::memcpy(&prefix, reinterpret_cast<char*>(text) - 4, 4);
  EXPECT_EQ(prefix, 6u);
  EXPECT_EQ(text[3], 0);
  SysFreeString(text);

  // Embedded NULs are part of the string; its length comes from the prefix.
  BSTR embedded = SysAllocStringLen(u"a\0b", 3);
  EXPECT_EQ(SysStringLen(embedded), 3u);
  SysFreeString(embedded);

  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  SysFreeString(nullptr);
}

TEST(TextConversion, Utf16ToUtf8AndBack) {
  struct Case {
    std::u16string wide;
    std::string utf8;
  } cases[] = {
      {u"", ""},
      {u"abc", "abc"},
      {u"Jo\u00E3o", "Jo\xC3\xA3o"},
      {u"\u20AC", "\xE2\x82\xAC"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      // Unpaired surrogates become U+FFFD.
      {std::u16string(1, u'\xD800') + u"x", "\xEF\xBF\xBDx"},
      {u"x" + std::u16string(1, u'\xDC00'), "x\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf8(c.wide), c.utf8);
    if (c.utf8.find("\xEF\xBF\xBD") == std::string::npos) {
      EXPECT_EQ(Utf8ToUtf16(c.utf8.data(), c.utf8.size()), c.wide);
    }
  }
  // Bytes that are not UTF-8 come back as U+FFFD, never out of range.
  EXPECT_EQ(Utf8ToUtf16("a\xC3", 2), u"a\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xFF"
                        "b",
                        2),
            u"\uFFFDb");
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82", 2), u"\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF", 2), u"\uFFFD\uFFFD");
}

TEST(Guid, TextRoundTrip) {
  GUID guid;
  ASSERT_TRUE(GuidFromString("{00020400-0000-0000-c000-000000000046}", &guid));
  EXPECT_TRUE(guid == IID_IDispatch);
  EXPECT_EQ(GuidToString(guid), "{00020400-0000-0000-C000-000000000046}");
  EXPECT_FALSE(GuidFromString("00020400-0000-0000-C000-000000000046", &guid));
  EXPECT_FALSE(GuidFromString("{00020400-0000-0000-C000-00000000004G}", &guid));
}

VARIANT I4(LONG v) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_I4;
  x.lVal = v;
  return x;
}
VARIANT R8(double v) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_R8;
  x.dblVal = v;
  return x;
}
VARIANT Bool(bool v) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_BOOL;
  x.boolVal = v ? VARIANT_TRUE : VARIANT_FALSE;
  return x;
}
VARIANT Str(const char16_t* v) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_BSTR;
  x.bstrVal = SysAllocString(v);
  return x;
}
VARIANT OfType(VARTYPE vt) {
  VARIANT x;
  VariantInit(&x);
  x.vt = vt;
  return x;
}

TEST(VariantChangeType, ToLong) {
  struct Case {
    const char* what;
    VARIANT in;
    HRESULT hr;
    LONG out;
  } cases[] = {
      {"empty", OfType(VT_EMPTY), S_OK, 0},
      {"null", OfType(VT_NULL), DISP_E_TYPEMISMATCH, 0},
      {"long", I4(-7), S_OK, -7},
      {"double rounds half to even", R8(2.5), S_OK, 2},
      {"double rounds", R8(-1.6), S_OK, -2},
      {"double too large", R8(3e9), DISP_E_OVERFLOW, 0},
      {"true", Bool(true), S_OK, -1},
      {"false", Bool(false), S_OK, 0},
      {"numeric text", Str(u" 42 "), S_OK, 42},
      {"fraction text", Str(u"1.5"), S_OK, 2},
      {"text", Str(u"abc"), DISP_E_TYPEMISMATCH, 0},
      {"hexadecimal text", Str(u"0x10"), DISP_E_TYPEMISMATCH, 0},
      {"empty text", Str(u""), DISP_E_TYPEMISMATCH, 0},
      {"object", OfType(VT_DISPATCH), DISP_E_TYPEMISMATCH, 0},
  };
  for (Case& c : cases) {
    VARIANT out;
    VariantInit(&out);
    EXPECT_EQ(VariantChangeType(&out, &c.in, 0, VT_I4), c.hr) << c.what;
    if (c.hr == S_OK) {
      EXPECT_EQ(out.vt, VT_I4) << c.what;
      EXPECT_EQ(out.lVal, c.out) << c.what;
    }
    VariantClear(&c.in);
    VariantClear(&out);
  }
}

TEST(VariantChangeType, ToBstr) {
  struct Case {
    const char* what;
    VARIANT in;
    std::u16string out;
  } cases[] = {
      {"empty", OfType(VT_EMPTY), u""},      {"long", I4(-12), u"-12"},
      {"double", R8(1.5), u"1.5"},           {"true", Bool(true), u"True"},
      {"text", Str(u"x\u00E9"), u"x\u00E9"},
  };
  for (Case& c : cases) {
    VARIANT out;
    VariantInit(&out);
    ASSERT_EQ(VariantChangeType(&out, &c.in, 0, VT_BSTR), S_OK) << c.what;
    ASSERT_EQ(out.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(out.bstrVal, SysStringLen(out.bstrVal)), c.out) << c.what;
    VariantClear(&c.in);
    VariantClear(&out);
  }
  VARIANT null = OfType(VT_NULL), out;
  VariantInit(&out);
  EXPECT_EQ(VariantChangeType(&out, &null, 0, VT_BSTR), DISP_E_TYPEMISMATCH);
}

TEST(VariantChangeType, ReadsThroughReferencesAndInPlace) {
  LONG value = 5;
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_I4 | VT_BYREF;
  ref.plVal = &value;
  VARIANT out;
  VariantInit(&out);
  ASSERT_EQ(VariantChangeType(&out, &ref, 0, VT_BSTR), S_OK);
  EXPECT_EQ(std::u16string(out.bstrVal), u"5");
  VariantClear(&out);

  VARIANT inner = Str(u"9");
  VARIANT byVariant;
  VariantInit(&byVariant);
  byVariant.vt = VT_VARIANT | VT_BYREF;
  byVariant.pvarVal = &inner;
  ASSERT_EQ(VariantChangeType(&out, &byVariant, 0, VT_I4), S_OK);
  EXPECT_EQ(out.lVal, 9);
  VariantClear(&inner);

  // In place: the old text is freed and replaced (ASan would see a leak or a double free).
  VARIANT self = Str(u"17");
  ASSERT_EQ(VariantChangeType(&self, &self, 0, VT_I4), S_OK);
  EXPECT_EQ(self.vt, VT_I4);
  EXPECT_EQ(self.lVal, 17);
}

}  // namespace
}  // namespace qorx::com
