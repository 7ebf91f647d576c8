// The bridge's JSON reader on a page's bytes: what it accepts is within its limits, written
// back by the bridge's own string writer it reads the same again, and any bytes at all become
// a string the reader takes back.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "tools/bridge/Json.h"

using namespace qorx::bridge;

namespace {

// Within the reader's limits, depth counted as it counts it: each array or object one level.
bool Within(const JsonValue& v, const JsonLimits& limits, size_t depth) {
  switch (v.type) {
    case JsonValue::Type::String:
      return v.text.size() <= limits.maxString;
    case JsonValue::Type::Array:
      if (depth + 1 > limits.maxDepth || v.items.size() > limits.maxElements) return false;
      for (const JsonValue& item : v.items)
        if (!Within(item, limits, depth + 1)) return false;
      return true;
    case JsonValue::Type::Object:
      if (depth + 1 > limits.maxDepth || v.members.size() > limits.maxElements) return false;
      for (const auto& member : v.members)
        if (member.first.size() > limits.maxString || !Within(member.second, limits, depth + 1))
          return false;
      return true;
    default:
      return true;
  }
}

// The value as compact JSON; numbers with enough digits to come back as the same double.
void Write(const JsonValue& v, std::string* out) {
  switch (v.type) {
    case JsonValue::Type::Null:
      *out += "null";
      break;
    case JsonValue::Type::Bool:
      *out += v.boolean ? "true" : "false";
      break;
    case JsonValue::Type::Number: {
      char text[32];
      std::snprintf(text, sizeof text, "%.17g", v.number);
      *out += text;
      break;
    }
    case JsonValue::Type::String:
      AppendJsonString(out, v.text);
      break;
    case JsonValue::Type::Array:
      out->push_back('[');
      for (size_t i = 0; i < v.items.size(); ++i) {
        if (i > 0) out->push_back(',');
        Write(v.items[i], out);
      }
      out->push_back(']');
      break;
    case JsonValue::Type::Object:
      out->push_back('{');
      for (size_t i = 0; i < v.members.size(); ++i) {
        if (i > 0) out->push_back(',');
        AppendJsonString(out, v.members[i].first);
        out->push_back(':');
        Write(v.members[i].second, out);
      }
      out->push_back('}');
      break;
  }
}

bool Parse(const std::string& text, const JsonLimits& limits, JsonValue* out,
           bool* tooLong = nullptr) {
  std::string why;
  const bool ok = ParseJson(reinterpret_cast<const uint8_t*>(text.data()), text.size(), limits, out,
                            &why, tooLong);
  FUZZ_CHECK(ok == why.empty());
  FUZZ_CHECK(ok || out->type == JsonValue::Type::Null);
  return ok;
}

// Written back, the value reads as itself: the written text is a fixed point. Escapes may
// lengthen a string's literal (\b becomes \u0008), so the second reading allows for that.
void CheckRoundTrip(const JsonValue& value, const JsonLimits& limits) {
  std::string written;
  Write(value, &written);
  JsonLimits wider = limits;
  wider.maxString = limits.maxString * 6;
  JsonValue again;
  FUZZ_CHECK(Parse(written, wider, &again));
  std::string rewritten;
  Write(again, &rewritten);
  FUZZ_CHECK(rewritten == written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  JsonLimits loose;  // the reader's defaults
  JsonLimits tight;
  tight.maxDepth = 3;
  tight.maxString = 16;
  tight.maxElements = 4;

  for (const JsonLimits& limits : {loose, tight}) {
    JsonValue strict;
    const bool ok = Parse(text, limits, &strict);
    // With a string over the limit allowed through, every accepted message is still accepted,
    // the same, and marked as not cut.
    JsonValue lenient;
    bool tooLong = true;
    const bool okLenient = Parse(text, limits, &lenient, &tooLong);
    FUZZ_CHECK(!ok || (okLenient && !tooLong));
    if (ok) {
      FUZZ_CHECK(Within(strict, limits, 0));
      std::string a, b;
      Write(strict, &a);
      Write(lenient, &b);
      FUZZ_CHECK(a == b);
      CheckRoundTrip(strict, limits);
    } else if (okLenient) {
      FUZZ_CHECK(tooLong);
      CheckRoundTrip(lenient, limits);
    }
  }

  // Any bytes, malformed UTF-8 included, written as a string come back as valid UTF-8 that
  // the reader accepts, unchanged when they were ASCII, and written again the same.
  std::string literal;
  AppendJsonString(&literal, text);
  JsonLimits wide;
  wide.maxString = literal.size();
  JsonValue back;
  FUZZ_CHECK(Parse(literal, wide, &back));
  FUZZ_CHECK(back.type == JsonValue::Type::String);
  bool ascii = true;
  for (unsigned char c : text) ascii = ascii && c < 0x80;
  FUZZ_CHECK(!ascii || back.text == text);
  std::string literalAgain;
  AppendJsonString(&literalAgain, back.text);
  FUZZ_CHECK(literalAgain == literal);
  return 0;
}
