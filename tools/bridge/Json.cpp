#include "tools/bridge/Json.h"

#include <string.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "core/ByteReader.h"
#include "core/Hex.h"
#include "core/Utf8.h"

namespace qorx::bridge {

namespace {

// Over the whole buffer, not only the text now in it: a string moved from keeps the bytes it
// held in its own buffer (a short one's "1234" stays as "\0234").
void Wipe(std::string& text) noexcept {
  text.resize(text.capacity());  // within the capacity: no new buffer, nothing thrown
  explicit_bzero(text.data(), text.size());
  text.clear();
}

// Whether any of the eight bytes of `word` ends a run of plain text: a control character, a
// byte of a multi-byte character, a quote or a backslash. Each test finds whether some byte
// is zero (or below a bound), never which.
inline bool AnyUnplain(uint64_t word) noexcept {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHighs = 0x8080808080808080ULL;
  const auto below = [](uint64_t x, uint64_t n) { return (x - kOnes * n) & ~x & kHighs; };
  return ((word & kHighs) | below(word, 0x20) | below(word ^ (kOnes * '"'), 1) |
          below(word ^ (kOnes * '\\'), 1)) != 0;
}

class Parser {
 public:
  Parser(const uint8_t* data, size_t size, const JsonLimits& limits, bool* tooLong)
      : in_(data, size), limits_(limits), tooLong_(tooLong) {}

  bool Document(JsonValue* out) {
    SkipSpace();
    if (!Value(out, 0)) return false;
    SkipSpace();
    if (!in_.Empty()) return Fail("text after the value");
    return true;
  }

  std::string error;

 private:
  bool Fail(const char* why) {
    if (error.empty()) error = why;
    return false;
  }

  void SkipSpace() {
    uint8_t c;
    while (in_.PeekU8(&c) && (c == ' ' || c == '\t' || c == '\n' || c == '\r')) in_.Skip(1);
  }

  bool Literal(const char* word) {
    const size_t n = strlen(word);
    const uint8_t* bytes;
    if (in_.Remaining() < n || memcmp(in_.Position(), word, n) != 0) return Fail("bad literal");
    return in_.ReadBytes(n, &bytes);
  }

  bool Value(JsonValue* out, size_t depth) {
    uint8_t c;
    if (!in_.PeekU8(&c)) return Fail("unexpected end");
    switch (c) {
      case '{':
        return Object(out, depth + 1);
      case '[':
        return Array(out, depth + 1);
      case '"':
        out->type = JsonValue::Type::String;
        return String(&out->text);
      case 't':
        out->type = JsonValue::Type::Bool;
        out->boolean = true;
        return Literal("true");
      case 'f':
        out->type = JsonValue::Type::Bool;
        return Literal("false");
      case 'n':
        return Literal("null");
      default:
        if (c == '-' || (c >= '0' && c <= '9')) return Number(out);
        return Fail("unexpected character");
    }
  }

  bool Number(JsonValue* out) {
    // The grammar checked here; the conversion by strtod of a bounded NUL-terminated copy.
    char buffer[40];
    size_t n = 0;
    auto take = [&](uint8_t ch) {
      if (n + 1 >= sizeof buffer) return false;
      buffer[n++] = static_cast<char>(ch);
      in_.Skip(1);
      return true;
    };
    auto digits = [&]() {
      uint8_t ch;
      size_t count = 0;
      while (in_.PeekU8(&ch) && ch >= '0' && ch <= '9') {
        if (!take(ch)) return false;
        ++count;
      }
      return count > 0;
    };
    uint8_t c = 0;
    if (in_.PeekU8(&c) && c == '-' && !take(c)) return Fail("number too long");
    if (in_.PeekU8(&c) && c == '0') {
      take(c);
    } else if (!digits()) {
      return Fail("bad number");
    }
    if (in_.PeekU8(&c) && c == '.') {
      take(c);
      if (!digits()) return Fail("bad number");
    }
    if (in_.PeekU8(&c) && (c == 'e' || c == 'E')) {
      take(c);
      if (in_.PeekU8(&c) && (c == '+' || c == '-')) take(c);
      if (!digits()) return Fail("bad number");
    }
    if (in_.PeekU8(&c) && c >= '0' && c <= '9') return Fail("number too long");
    buffer[n] = '\0';
    out->type = JsonValue::Type::Number;
    out->number = strtod(buffer, nullptr);
    if (!std::isfinite(out->number)) return Fail("number out of range");
    return true;
  }

  bool Hex4(uint32_t* out) {
    *out = 0;
    for (int i = 0; i < 4; ++i) {
      uint8_t c;
      if (!in_.ReadU8(&c)) return Fail("unexpected end");
      const int value = hex::DigitValue(static_cast<char>(c));
      if (value < 0) return Fail("bad escape");
      *out = *out << 4 | static_cast<uint32_t>(value);
    }
    return true;
  }

  bool String(std::string* out) {
    in_.Skip(1);  // the opening quote
    // The literal's raw length bounds its decoded length: reserving it first means the text
    // (a secret code, perhaps) is never copied by a growing buffer and left behind unwiped.
    // The closing quote is the first one after an even number of backslashes.
    size_t raw = 0;
    const uint8_t* p = in_.Position();
    for (;;) {
      const void* quote =
          raw < in_.Remaining() ? memchr(p + raw, '"', in_.Remaining() - raw) : nullptr;
      if (quote == nullptr) return Fail("unterminated string");
      const size_t at = static_cast<size_t>(static_cast<const uint8_t*>(quote) - p);
      size_t slashes = 0;
      while (slashes < at && p[at - 1 - slashes] == '\\') ++slashes;
      raw = at;
      if (slashes % 2 == 0) break;
      ++raw;
    }
    if (raw > limits_.maxString) {
      if (tooLong_ == nullptr) return Fail("string too long");
      *tooLong_ = true;
      return in_.Skip(raw + 1);
    }
    out->reserve(raw);
    for (;;) {
      // A run of plain ASCII, most of any text and all of a file's base64, goes in at once.
      const uint8_t* run = in_.Position();
      const size_t left = in_.Remaining();
      size_t plain = 0;
      for (uint64_t word; plain + 8 <= left; plain += 8) {
        memcpy(&word, run + plain, 8);
        if (AnyUnplain(word)) break;
      }
      while (plain < left && run[plain] >= 0x20 && run[plain] < 0x80 && run[plain] != '"' &&
             run[plain] != '\\')
        ++plain;
      if (plain > 0) {
        out->append(reinterpret_cast<const char*>(run), plain);
        in_.Skip(plain);
      }
      uint8_t c;
      if (!in_.PeekU8(&c)) return Fail("unterminated string");
      if (c == '"') {
        in_.Skip(1);
        return true;
      }
      if (c < 0x20) return Fail("control character in string");
      if (c != '\\') {
        const utf8::Step step = utf8::Decode(in_.Position(), in_.Remaining());
        if (!step.valid) return Fail("string is not UTF-8");
        out->append(reinterpret_cast<const char*>(in_.Position()), step.length);
        in_.Skip(step.length);
        continue;
      }
      in_.Skip(1);
      if (!in_.ReadU8(&c)) return Fail("unterminated string");
      switch (c) {
        case '"':
        case '\\':
        case '/':
          out->push_back(static_cast<char>(c));
          break;
        case 'b':
          out->push_back('\b');
          break;
        case 'f':
          out->push_back('\f');
          break;
        case 'n':
          out->push_back('\n');
          break;
        case 'r':
          out->push_back('\r');
          break;
        case 't':
          out->push_back('\t');
          break;
        case 'u': {
          uint32_t cp;
          if (!Hex4(&cp)) return false;
          if (utf8::IsHighSurrogate(cp)) {
            uint32_t low;
            if (!Literal("\\u") || !Hex4(&low) || !utf8::IsLowSurrogate(low))
              return Fail("unpaired surrogate");
            cp = utf8::JoinSurrogates(cp, low);
          } else if (utf8::IsLowSurrogate(cp)) {
            return Fail("unpaired surrogate");
          }
          utf8::Append(out, cp);
          break;
        }
        default:
          return Fail("bad escape");
      }
    }
  }

  bool Array(JsonValue* out, size_t depth) {
    if (depth > limits_.maxDepth) return Fail("nested too deeply");
    in_.Skip(1);
    out->type = JsonValue::Type::Array;
    SkipSpace();
    uint8_t c;
    if (in_.PeekU8(&c) && c == ']') return in_.Skip(1);
    for (;;) {
      if (out->items.size() >= limits_.maxElements) return Fail("too many elements");
      out->items.emplace_back();
      SkipSpace();
      if (!Value(&out->items.back(), depth)) return false;
      SkipSpace();
      if (!in_.ReadU8(&c)) return Fail("unexpected end");
      if (c == ']') return true;
      if (c != ',') return Fail("expected , or ]");
    }
  }

  bool Object(JsonValue* out, size_t depth) {
    if (depth > limits_.maxDepth) return Fail("nested too deeply");
    in_.Skip(1);
    out->type = JsonValue::Type::Object;
    SkipSpace();
    uint8_t c;
    if (in_.PeekU8(&c) && c == '}') return in_.Skip(1);
    for (;;) {
      if (out->members.size() >= limits_.maxElements) return Fail("too many elements");
      SkipSpace();
      if (!in_.PeekU8(&c) || c != '"') return Fail("expected a member name");
      out->members.emplace_back();
      auto& member = out->members.back();
      if (!String(&member.first)) return false;
      for (size_t i = 0; i + 1 < out->members.size(); ++i) {
        if (out->members[i].first == member.first) return Fail("duplicate member name");
      }
      SkipSpace();
      if (!in_.ReadU8(&c) || c != ':') return Fail("expected :");
      SkipSpace();
      if (!Value(&member.second, depth)) return false;
      SkipSpace();
      if (!in_.ReadU8(&c)) return Fail("unexpected end");
      if (c == '}') return true;
      if (c != ',') return Fail("expected , or }");
    }
  }

  ByteReader in_;
  const JsonLimits& limits_;
  bool* tooLong_;
};

}  // namespace

JsonValue::JsonValue(JsonValue&& other) noexcept
    : type(other.type),
      boolean(other.boolean),
      number(other.number),
      text(std::move(other.text)),
      items(std::move(other.items)),
      members(std::move(other.members)) {
  // A growing argument list moves its strings; what stays behind may be a secret code.
  Wipe(other.text);
  other.type = Type::Null;
}

JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
  if (this != &other) {
    Wipe(text);
    type = other.type;
    boolean = other.boolean;
    number = other.number;
    text = std::move(other.text);
    items = std::move(other.items);
    members = std::move(other.members);
    Wipe(other.text);
    other.type = Type::Null;
  }
  return *this;
}

JsonValue::~JsonValue() {
  Wipe(text);
}

const JsonValue* JsonValue::Find(const std::string& key) const noexcept {
  if (type != Type::Object) return nullptr;
  for (const auto& member : members) {
    if (member.first == key) return &member.second;
  }
  return nullptr;
}

bool ParseJson(const uint8_t* data, size_t size, const JsonLimits& limits, JsonValue* out,
               std::string* error, bool* tooLong) {
  *out = JsonValue();
  if (tooLong != nullptr) *tooLong = false;
  Parser parser(data, size, limits, tooLong);
  if (parser.Document(out)) return true;
  *out = JsonValue();
  *error = parser.error;
  return false;
}

void AppendJsonString(std::string* out, const std::string& text) {
  out->push_back('"');
  ByteReader in(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  while (!in.Empty()) {
    // A malformed sequence stands as one U+FFFD up to its first bad byte.
    const utf8::Step step =
        utf8::Decode(in.Position(), in.Remaining(), utf8::Broken::kAnnouncedAnyLead);
    in.Skip(step.length);
    switch (step.cp) {
      case '"':
        out->append("\\\"");
        break;
      case '\\':
        out->append("\\\\");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\r':
        out->append("\\r");
        break;
      case '\t':
        out->append("\\t");
        break;
      default:
        if (step.cp < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(step.cp));
          out->append(escape);
        } else {
          utf8::Append(out, step.cp);
        }
    }
  }
  out->push_back('"');
}

}  // namespace qorx::bridge
