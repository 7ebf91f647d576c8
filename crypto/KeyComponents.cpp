#include "crypto/KeyComponents.h"

#include "core/ByteReader.h"
#include "core/Exceptions.h"

namespace qorx {

const uint8_t* FindComponent(const TSDByteArray& list, uint8_t tag, int* length) {
  ByteReader r(list);
  // A single trailing byte cannot start a component and is ignored.
  while (r.Remaining() > 1) {
    uint8_t t = 0, l = 0;
    r.ReadU8(&t);
    r.ReadU8(&l);
    int n = l == 0 ? 256 : l;
    const uint8_t* value = nullptr;
    if (!r.ReadBytes(static_cast<size_t>(n), &value))
      QORX_RAISEF(sd::kInvalidArgument, unit::kCrypto, "Incorrect buffer format");
    if (t == tag) {
      if (length != nullptr) *length = n;
      return value;
    }
  }
  return nullptr;
}

namespace {
enum class ListEnd { kClean, kStrayByte, kMalformed };

// How a walk over the whole list ends. FindComponent stops at the component it looks for and
// ignores a stray last byte; checking a whole list, or appending to it, needs to know both.
ListEnd WalkToEnd(const TSDByteArray& list) {
  ByteReader r(list);
  while (r.Remaining() > 1) {
    uint8_t t = 0, l = 0;
    r.ReadU8(&t);
    r.ReadU8(&l);
    if (!r.Skip(l == 0 ? 256u : l)) return ListEnd::kMalformed;
  }
  return r.Empty() ? ListEnd::kClean : ListEnd::kStrayByte;
}
}  // namespace

int ComponentLength(const TSDByteArray& list, uint8_t tag) {
  int n = 0;
  return FindComponent(list, tag, &n) != nullptr ? n : 0;
}

void AddComponent(TSDByteArray& list, uint8_t tag, const uint8_t* value, int length) {
  if (FindComponent(list, tag) != nullptr)
    QORX_RAISEF(sd::kInvalidArgument, unit::kCrypto, "Component %02X already exists", tag);
  if (length < 1 || length > 256)
    QORX_RAISEF(sd::kLength, unit::kCrypto, "Component length must be a value between 1 and 256");
  // A component appended behind a stray byte would be read from that byte on.
  if (WalkToEnd(list) != ListEnd::kClean)
    QORX_RAISEF(sd::kInvalidArgument, unit::kCrypto, "Incorrect buffer format");
  uint8_t header[2] = {tag, static_cast<uint8_t>(length & 0xFF)};
  // Built aside: `value` may lie in the list itself, and a failed allocation leaves the list
  // as it was.
  TSDByteArray grown(list);
  grown.Append(header, 2);
  grown.Append(value, length);
  list = grown;
}

void AddComponent(TSDByteArray& list, uint8_t tag, const TSDByteArray& value) {
  AddComponent(list, tag, value.Data(), value.Length());
}

void CheckComponents(const TSDByteArray& list) {
  // The whole list: a lookup of tag 0 alone would stop at a component with that tag.
  if (WalkToEnd(list) == ListEnd::kMalformed)
    QORX_RAISEF(sd::kInvalidArgument, unit::kCrypto, "Incorrect buffer format");
}

const uint8_t* SetComponents(TSDByteArray& list, const uint8_t* bytes, int length) {
  list = TSDByteArray(bytes, length);
  CheckComponents(list);
  return FindComponent(list, 0);
}

void SetOddParity(uint8_t* buffer, int length) noexcept {
  for (int i = 0; i < length; ++i) {
    uint8_t b = buffer[i] & 0xFE;
    int ones = __builtin_popcount(b);
    buffer[i] = static_cast<uint8_t>((ones % 2 == 0) ? (b | 1) : b);
  }
}

}  // namespace qorx
