// Key component lists as an import hands them over: SetComponents, FindComponent and
// AddComponent on the input.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/ByteArray.h"
#include "crypto/KeyComponents.h"
#include "fuzz/FuzzCheck.h"

using namespace qorx;

namespace {

// The list walks cleanly: tag, length (0 = 256), value, up to at most one stray byte, which
// `stray` reports.
bool WellFormed(const uint8_t* data, size_t size, bool* stray) {
  size_t p = 0;
  while (p + 1 < size) {
    size_t n = data[p + 1] == 0 ? 256 : data[p + 1];
    if (n > size - p - 2) return false;
    p += 2 + n;
  }
  *stray = p < size;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  bool stray = false;
  const bool wellFormed = WellFormed(data, size, &stray);

  // A refusal is "Incorrect buffer format", and the new bytes stay even then.
  TSDByteArray list;
  bool set = fuzz::Expect(
      [&] {
        try {
          SetComponents(list, data, static_cast<int>(size));
        } catch (const ESDException& e) {
          FUZZ_CHECK(std::strcmp(e.Message(), "Incorrect buffer format") == 0);
          throw;
        }
      },
      {sd::kInvalidArgument});
  FUZZ_CHECK(set == wellFormed);
  FUZZ_CHECK(list == TSDByteArray(data, static_cast<int32_t>(size)));
  if (!wellFormed) return 0;

  // Every component the walk passes is found where it is, with its length.
  const uint8_t* end = list.Data() + list.Length();
  for (int tag = 0; tag < 256; ++tag) {
    int length = -1;
    const uint8_t* value = FindComponent(list, static_cast<uint8_t>(tag), &length);
    if (value == nullptr) {
      FUZZ_CHECK(!HasComponent(list, static_cast<uint8_t>(tag)));
      continue;
    }
    FUZZ_CHECK(length >= 1 && length <= 256);
    FUZZ_CHECK(value >= list.Data() + 2 && value + length <= end);
    FUZZ_CHECK(value[-2] == tag && (value[-1] == 0 ? 256 : value[-1]) == length);
    FUZZ_CHECK(ComponentLength(list, static_cast<uint8_t>(tag)) == length);
  }

  // Adding a component: the tag and length come from the input's last two bytes, the value
  // from its start. Once added, it is there to be found with its bytes; a list ending in a
  // stray byte takes nothing, as the new component would be read from that byte on.
  uint8_t tag = size > 0 ? data[size - 1] : 0x80;
  int length = size > 1 ? data[size - 2] + (size % 2 == 0 ? 1 : 0) : 0;
  TSDByteArray value(length > 0 ? length : 0);
  if (length > 0)
    value.Write(0, data, static_cast<int32_t>(size < static_cast<size_t>(length) ? size : length));
  bool present = HasComponent(list, tag);
  TSDByteArray grown(list);
  bool added = fuzz::Expect([&] { AddComponent(grown, tag, value.Data(), length); },
                            {sd::kInvalidArgument, sd::kLength});
  FUZZ_CHECK(added == (!present && length >= 1 && length <= 256 && !stray));
  if (added) {
    int found = 0;
    const uint8_t* at = FindComponent(grown, tag, &found);
    FUZZ_CHECK(at != nullptr && found == length);
    FUZZ_CHECK(std::memcmp(at, value.Data(), static_cast<size_t>(length)) == 0);
    FUZZ_CHECK(grown.Length() == list.Length() + 2 + length);
  } else {
    FUZZ_CHECK(grown == list);
  }
  return 0;
}
