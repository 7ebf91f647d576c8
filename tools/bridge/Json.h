#pragma once

// A small JSON reader and writer for the bridge's messages. The reader works on bytes from the
// page through a bounds-checked cursor, with limits on nesting, string length and element
// count, so a hostile message costs bounded memory and stack and never a crash. Strings are
// UTF-8; a value's strings are wiped when it is destroyed, since arguments carry secret codes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qorx::bridge {

class JsonValue {
 public:
  enum class Type : uint8_t { Null, Bool, Number, String, Array, Object };

  JsonValue() = default;
  JsonValue(const JsonValue&) = delete;
  JsonValue& operator=(const JsonValue&) = delete;
  JsonValue(JsonValue&& other) noexcept;
  JsonValue& operator=(JsonValue&& other) noexcept;
  ~JsonValue();

  Type type = Type::Null;
  bool boolean = false;
  double number = 0;
  std::string text;                                        // String
  std::vector<JsonValue> items;                            // Array
  std::vector<std::pair<std::string, JsonValue>> members;  // Object, in document order

  // The member named `key` of an object, or null (also for a value that is not an object).
  const JsonValue* Find(const std::string& key) const noexcept;
};

struct JsonLimits {
  size_t maxDepth = 8;
  size_t maxString = 64 * 1024;  // bytes of one decoded string
  size_t maxElements = 256;      // items of one array, members of one object
};

// Parses the whole of `data` (surrounding white space allowed). On failure returns false and
// says why in `error`; `out` is then null. With `tooLong`, a string over the limit does not
// fail the parse: it is skipped, stands as an empty string, and sets *tooLong, so that the
// caller can still answer the request it came in.
bool ParseJson(const uint8_t* data, size_t size, const JsonLimits& limits, JsonValue* out,
               std::string* error, bool* tooLong = nullptr);

// Appends `text` as a JSON string literal. Bytes that are not UTF-8 become U+FFFD, so the
// browser always receives valid UTF-8.
void AppendJsonString(std::string* out, const std::string& text);

}  // namespace qorx::bridge
