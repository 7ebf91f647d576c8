// TSDByteArray::FromHex on page input: the text up to its first NUL.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/ByteArray.h"
#include "fuzz/FuzzCheck.h"

using namespace qorx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);  // c_str() adds the NUL

  // What the text should give: its digits, upper-cased, or a refusal.
  std::string digits;
  bool acceptable = true;
  for (char c : std::string(text.c_str())) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) {
      digits += c;
    } else if (c >= 'a' && c <= 'f') {
      digits += static_cast<char>(c - 'a' + 'A');
    } else {
      acceptable = false;
    }
  }
  if (digits.size() % 2 != 0) acceptable = false;

  TSDByteArray bytes(data, static_cast<int32_t>(size < 3 ? size : 3));  // some old content
  TSDByteArray before(bytes);
  bool parsed = fuzz::Expect([&] { bytes.FromHex(text.c_str()); }, {sd::kMalformed});
  FUZZ_CHECK(parsed == acceptable);
  if (!parsed) {
    FUZZ_CHECK(bytes == before);  // a refused text leaves the content alone
    return 0;
  }
  FUZZ_CHECK(static_cast<size_t>(bytes.Length()) * 2 == digits.size());
  FUZZ_CHECK(digits == bytes.ToHex().CStr());
  return 0;
}
