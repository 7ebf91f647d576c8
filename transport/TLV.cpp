#include "transport/TLV.h"

#include <new>
#include <vector>

#include "core/ByteReader.h"
#include "core/Exceptions.h"

namespace qorx {

namespace {

inline bool IsPadding(uint8_t b) {
  return b == 0x00 || b == 0xFF;
}

inline int OffsetIn(const ByteReader& whole, const ByteReader& rest) {
  return static_cast<int>(whole.Remaining() - rest.Remaining());
}

// Decodes the header at the start of `in`:
//   padding*  tag1 [tag2 when tag1 & 1F = 1F]  (mode != 1:) len | 80 | 81 nn | 82 hh ll
//   (mode 7:) value(len) padding*
// Returns the offset of the value (leading padding included), 0 when `in` holds nothing but
// padding, -1 when malformed.
int DecodeHeader(const ByteReader& in, int mode, int* tagOut, int* lengthOut) noexcept {
  int tag = 0;
  int length = 0;
  if (tagOut != nullptr) *tagOut = 0;
  if (lengthOut != nullptr) *lengthOut = 0;

  ByteReader r = in;
  uint8_t b = 0;
  while (r.PeekU8(&b) && IsPadding(b)) r.Skip(1);
  if (!r.ReadU8(&b)) return 0;

  tag = b;
  if ((b & 0x1F) == 0x1F) {
    uint8_t second = 0;
    if (!r.ReadU8(&second)) return -1;
    tag = tag * 256 + second;
  }
  if (tagOut != nullptr) *tagOut = tag;

  if (mode != TSDBaseTLV::kHeaderTag) {
    uint8_t first = 0;
    if (!r.ReadU8(&first)) return -1;
    if (first < 0x80) {
      length = first;
    } else {
      size_t n = first & 0x7F;
      if (r.Remaining() < n) return -1;
      if (n == 1) {
        uint8_t one = 0;
        r.ReadU8(&one);
        length = one;
      } else if (n == 2) {
        uint16_t two = 0;
        r.ReadU16(&two);
        length = two;
      } else if (n != 0) {
        return -1;  // 83 and above: lengths this system never reads or writes
      }
    }
    if (lengthOut != nullptr) *lengthOut = length;
  }
  int header = OffsetIn(in, r);
  if (mode != TSDBaseTLV::kHeaderComplete) return header;

  if (!r.Skip(static_cast<size_t>(length))) return -1;
  while (r.ReadU8(&b)) {
    if (!IsPadding(b)) return -1;
  }
  return header;
}

// Bytes spanned by the first element of `in` (leading padding, header and value): > 0, or 0
// when `in` holds nothing but padding, -1 when malformed or the value runs past the end.
int FirstSpan(const ByteReader& in) noexcept {
  int length = 0;
  int header = DecodeHeader(in, TSDBaseTLV::kHeaderTagLength, nullptr, &length);
  if (header <= 0) return header;
  ByteReader r = in;
  r.Skip(static_cast<size_t>(header));
  if (!r.Skip(static_cast<size_t>(length))) return -1;
  return OffsetIn(in, r);
}

// An encoding that holds one complete element, decoded.
struct Decoded {
  int tag;
  int length;
  ByteReader value;  // over the value bytes inside the encoding
};

Decoded DecodeComplete(const TSDByteArray& encoding) {
  Decoded d{0, 0, ByteReader()};
  ByteReader all(encoding);
  int header = DecodeHeader(all, TSDBaseTLV::kHeaderComplete, &d.tag, &d.length);
  if (header <= 0) QORX_RAISE(sd::kMalformed, unit::kTLV);
  all.Skip(static_cast<size_t>(header));
  all.ReadReader(static_cast<size_t>(d.length), &d.value);  // mode 7 checked it is there
  return d;
}

inline bool IsConstructedTag(int tag) {
  int first = tag < 256 ? tag : tag / 256;
  return (first & 0x20) != 0;
}

}  // namespace

// ---- TSDTLV ----

int TSDTLV::ParseHeader(const TSDByteArray& bytes, int mode, int* tag, int* length) const {
  return DecodeHeader(ByteReader(bytes), mode, tag, length);
}

int TSDTLV::EncodeHeader(int tag, int32_t length, uint8_t* out) {
  if (length < 0 || length > kMaxValueLength) QORX_RAISE(sd::kLength, unit::kTLV);
  unsigned t = static_cast<unsigned>(tag);
  int n = 0;
  if (((t >> 8) & 0x1F) == 0x1F) out[n++] = static_cast<uint8_t>(t >> 8);
  out[n++] = static_cast<uint8_t>(t);
  if (length < 0x80) {
    out[n++] = static_cast<uint8_t>(length);
  } else if (length < 0x100) {
    out[n++] = 0x81;
    out[n++] = static_cast<uint8_t>(length);
  } else {
    out[n++] = 0x82;
    out[n++] = static_cast<uint8_t>(length >> 8);
    out[n++] = static_cast<uint8_t>(length);
  }
  return n;
}

void TSDTLV::Build(int tag, const TSDByteArray& value) {
  if (tag == 0) {
    encoding_ = TSDByteArray();
    return;
  }
  uint8_t header[kMaxHeaderLength];
  int n = EncodeHeader(tag, value.Length(), header);
  TSDByteArray built(header, n);
  built.Append(value);
  encoding_ = built;
}

bool TSDTLV::IsValid() const {
  return DecodeHeader(ByteReader(encoding_), kHeaderComplete, nullptr, nullptr) >= 0;
}

int TSDTLV::Tag() const {
  return DecodeComplete(encoding_).tag;
}

int TSDTLV::Length() const {
  return DecodeComplete(encoding_).length;
}

const uint8_t* TSDTLV::ValuePointer() const {
  return DecodeComplete(encoding_).value.Position();
}

TSDByteArray TSDTLV::Value() const {
  Decoded d = DecodeComplete(encoding_);
  return TSDByteArray(d.value.Position(), d.length);
}

bool TSDTLV::IsConstructed() const {
  return IsConstructedTag(Tag());
}

int TSDTLV::HeaderLength() const {
  return DecodeHeader(ByteReader(encoding_), kHeaderTagLength, nullptr, nullptr);
}

int TSDTLV::ChildCount() const {
  Decoded d = DecodeComplete(encoding_);
  if (!IsConstructedTag(d.tag)) return 0;
  int count = 0;
  ByteReader rest = d.value;
  for (;;) {
    int span = FirstSpan(rest);
    if (span < 0) return -1;
    if (span == 0) return count;
    ++count;
    rest.Skip(static_cast<size_t>(span));
  }
}

// The walk stays inside the value: bytes after it are padding of this element, and a child
// reaching into them would not be a child of this element.
TSDTLV TSDTLV::ChildAt(int index) const {
  Decoded d = DecodeComplete(encoding_);
  if (!IsConstructedTag(d.tag)) QORX_RAISE(sd::kMalformed, unit::kTLV);
  ByteReader rest = d.value;
  for (int i = 0;; ++i) {
    int span = FirstSpan(rest);
    if (span < 0) QORX_RAISE(sd::kMalformed, unit::kTLV);
    if (span == 0) return TSDTLV();
    const uint8_t* child = nullptr;
    rest.ReadBytes(static_cast<size_t>(span), &child);
    if (i == index) return TSDTLV(TSDByteArray(child, span));
  }
}

void TSDTLV::AppendValue(const TSDByteArray& bytes) {
  Decoded d = DecodeComplete(encoding_);
  int64_t total = static_cast<int64_t>(d.length) + bytes.Length();
  if (total > kMaxValueLength) QORX_RAISE(sd::kLength, unit::kTLV);
  uint8_t header[kMaxHeaderLength];
  int n = EncodeHeader(d.tag, static_cast<int32_t>(total), header);
  TSDByteArray grown(header, n);
  grown.Append(d.value.Position(), d.length);
  grown.Append(bytes);  // before the encoding changes: `bytes` may be that very encoding
  encoding_ = grown;
}

int TSDTLV::TakeFirst(const TSDByteArray& bytes) {
  int span = FirstSpan(ByteReader(bytes));
  if (span <= 0) return span;
  encoding_ = TSDByteArray(bytes.Data(), span);
  return span;
}

// ---- TSDTLVStore ----

namespace {
// Tag of a stored element: Put admitted only complete elements, so the tag alone is enough.
inline bool HasTag(const TSDTLV& element, int tag) {
  int t = 0;
  return DecodeHeader(ByteReader(element.Encoding()), TSDBaseTLV::kHeaderTag, &t, nullptr) > 0 &&
         t == tag;
}
}  // namespace

int TSDTLVStore::Put(const TSDTLV& element, int32_t qualifier) {
  int tag = element.Tag();
  TSDTLV* copy = new TSDTLV(element);  // before anything is removed, so a failure loses nothing
  copy->SetQualifier(qualifier);
  RemoveMatching(tag, -1);
  return elements_.Add(copy);
}

TSDTLV TSDTLVStore::Get(int tag, int32_t qualifier) const {
  for (int32_t i = 0; i < elements_.Count(); ++i) {
    const TSDTLV& e = *static_cast<const TSDTLV*>(elements_.At(i));
    if ((qualifier == -1 || e.Qualifier() == qualifier) && HasTag(e, tag)) return e;
  }
  return TSDTLV();
}

bool TSDTLVStore::RemoveMatching(int tag, int32_t qualifier) {
  bool removed = false;
  for (int32_t i = 0; i < elements_.Count(); ++i) {
    const TSDTLV& e = *static_cast<const TSDTLV*>(elements_.At(i));
    if ((qualifier == -1 || e.Qualifier() == qualifier) && (tag == 0 || HasTag(e, tag))) {
      elements_.SetAt(i, nullptr);
      removed = true;
    }
  }
  if (removed) elements_.Pack();
  return removed;
}

TSDTLV TSDTLVStore::At(int32_t index) const {
  if (index < 0 || index >= elements_.Count()) return TSDTLV();
  return *static_cast<const TSDTLV*>(elements_.At(index));
}

// Depth first without recursion: each open level is a reader over the part of `bytes` still to
// be decoded at that depth, so a hostile nesting costs a few bytes per level and no stack.
void TSDTLVStore::ParseAll(const TSDByteArray& bytes, bool recursive, int32_t qualifier) {
  TSDByteArray keep(bytes);  // the readers below point into these bytes
  std::vector<ByteReader> levels;
  auto open = [&levels](const ByteReader& level) {
    try {
      levels.push_back(level);
    } catch (const std::bad_alloc&) {
      QORX_RAISE(sd::kNoMemory, unit::kTLV);
    }
  };
  open(ByteReader(keep));

  TSDTLV scratch;
  while (!levels.empty()) {
    ByteReader& level = levels.back();
    uint8_t b = 0;
    while (level.PeekU8(&b) && b == 0x00) level.Skip(1);  // FF is left to the element itself
    int span = FirstSpan(level);
    if (span == 0) {  // this level is done
      levels.pop_back();
      continue;
    }
    if (span < 0) QORX_RAISE(sd::kMalformed, unit::kTLV);
    ByteReader element;
    level.ReadReader(static_cast<size_t>(span), &element);
    scratch.SetEncoding(TSDByteArray(element.Position(), span));
    if (!scratch.IsValid()) QORX_RAISE(sd::kMalformed, unit::kTLV);
    Put(scratch, qualifier);
    if (recursive && scratch.IsConstructed()) {
      element.Skip(static_cast<size_t>(scratch.HeaderLength()));  // now exactly the value
      open(element);
    }
  }
}

}  // namespace qorx
