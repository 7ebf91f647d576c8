#pragma once

#include <cstdint>

#include "core/ByteArray.h"
#include "core/Objects.h"

namespace qorx {

// BER-TLV as cards and the bank's host speak it:
//   padding  bytes 00 and FF before an element and after the last one are skipped
//   tag      one byte; when its low five bits are all 1, exactly one more byte
//            (handled as a number: 0x6F, 0x9F18). Longer tags are not supported
//   length   00-7F; 81 nn; 82 hh ll; 80 reads as 0 (no indefinite form); 83 and up are invalid
//   value    `length` bytes; bit 0x20 of the first tag byte marks a constructed element,
//            whose value is a sequence of further elements
//
// An element keeps its encoding only; tag, length and value are decoded from it on every
// request, so an element can never disagree with its own bytes.
class TSDBaseTLV : public TSDObject {
 public:
  // ParseHeader modes: what to decode and check.
  enum : int {
    kHeaderTag = 1,        // the tag only
    kHeaderTagLength = 3,  // tag and length
    kHeaderComplete = 7,   // tag, length, the value is present and only padding follows it
  };

  TSDBaseTLV() = default;
  TSDBaseTLV(const TSDBaseTLV& other) = default;
  TSDBaseTLV& operator=(const TSDBaseTLV& other) = default;
  ~TSDBaseTLV() override = default;

  // Decodes the header at the start of `bytes`: the offset of the value, 0 when `bytes` hold
  // nothing but padding, -1 when malformed. `tag` and `length` may be null.
  virtual int ParseHeader(const TSDByteArray& bytes, int mode, int* tag, int* length) const = 0;
  // Encoding := header(tag, value length) + value; tag 0 empties the encoding.
  virtual void Build(int tag, const TSDByteArray& value) = 0;
  // The encoding is one complete element, or nothing but padding.
  virtual bool IsValid() const = 0;

  const TSDByteArray& Encoding() const noexcept { return encoding_; }
  int32_t EncodingLength() const noexcept { return encoding_.Length(); }
  // Takes `bytes` as they are (shared, not validated).
  void SetEncoding(const TSDByteArray& bytes) noexcept { encoding_ = bytes; }

  // A number the store attaches to an element (where it came from); 0 in a new element.
  int32_t Qualifier() const noexcept { return qualifier_; }
  void SetQualifier(int32_t qualifier) noexcept { qualifier_ = qualifier; }

 protected:
  TSDByteArray encoding_;
  int32_t qualifier_ = 0;
};

// One element. Copies share the encoding bytes. Every decoding failure raises ESDException
// 0xC500 (unit TLV, empty message).
class TSDTLV : public TSDBaseTLV {
 public:
  // The longest header: two tag bytes and 82 hh ll.
  static constexpr int kMaxHeaderLength = 5;
  // The longest value a header can describe.
  static constexpr int32_t kMaxValueLength = 0xFFFF;

  TSDTLV() = default;
  TSDTLV(const TSDTLV& other) = default;
  TSDTLV& operator=(const TSDTLV& other) = default;
  // Takes `encoding` as it is (shared, not validated).
  explicit TSDTLV(const TSDByteArray& encoding) { encoding_ = encoding; }
  TSDTLV(int tag, const TSDByteArray& value) { TSDTLV::Build(tag, value); }

  int ParseHeader(const TSDByteArray& bytes, int mode, int* tag, int* length) const override;
  // Raises 0xC400 for a value longer than kMaxValueLength (the encoding is then unchanged).
  void Build(int tag, const TSDByteArray& value) override;
  bool IsValid() const override;

  // Writes the header for (tag, length) into `out` (kMaxHeaderLength bytes) and returns its
  // length: the tag in two bytes when (tag / 256) & 0x1F is 0x1F, else its low byte alone;
  // the length as nn, 81 nn or 82 hh ll. Raises 0xC400 for a length outside 0-0xFFFF.
  static int EncodeHeader(int tag, int32_t length, uint8_t* out);

  // The following raise 0xC500 unless the encoding is one complete element.
  int Tag() const;
  int Length() const;
  const uint8_t* ValuePointer() const;  // points into the encoding; valid while it is held
  TSDByteArray Value() const;           // a copy of the value bytes
  bool IsConstructed() const;

  // ParseHeader(encoding, kHeaderTagLength): the value's offset (leading padding included).
  int HeaderLength() const;
  // Elements in the value of a constructed element; 0 for a primitive one; -1 when a child is
  // malformed or runs past the end of the value. Raises as Tag on a malformed encoding.
  int ChildCount() const;
  // Child `index` (from 0) of a constructed element; an empty element when there are not
  // that many. Raises 0xC500 on a primitive element or when the walk meets a malformed child.
  TSDTLV ChildAt(int index) const;
  // Extends the value by `bytes`, keeping the tag and re-encoding the length (padding around
  // the element is dropped). Raises as Tag, or 0xC400 when the value would grow past
  // kMaxValueLength; the element is unchanged then.
  void AppendValue(const TSDByteArray& bytes);
  // Makes this element a copy of the first element in `bytes` (leading padding included) and
  // returns the number of bytes it spans; 0 when `bytes` hold only padding, -1 when malformed
  // (the element is unchanged in both cases).
  int TakeFirst(const TSDByteArray& bytes);
};

// A flat list of elements, searchable by tag, in insertion order. The store owns copies of
// what is put into it; Get hands out further copies.
class TSDTLVStore : public TSDObject {
 public:
  TSDTLVStore() = default;
  TSDTLVStore(const TSDTLVStore&) = delete;
  TSDTLVStore& operator=(const TSDTLVStore&) = delete;
  ~TSDTLVStore() override = default;

  // Removes every stored element with `element`'s tag (whatever its qualifier), then appends a
  // copy with `qualifier`; returns its index. Raises as TSDTLV::Tag when `element` is not one
  // complete element.
  int Put(const TSDTLV& element, int32_t qualifier);
  // The first element with `tag` and `qualifier` (any qualifier when it is -1); an element
  // with an empty encoding when there is none.
  TSDTLV Get(int tag, int32_t qualifier) const;
  // Deletes every element with `tag` (any tag when 0) and `qualifier` (any when -1); returns
  // whether one was deleted.
  bool RemoveMatching(int tag, int32_t qualifier);
  // Decodes a sequence of elements (00 bytes between them are skipped) and puts each with
  // `qualifier`; with `recursive` the children of a constructed element follow it, at any
  // depth. Raises 0xC500 on a malformed element, keeping what was put before it.
  void ParseAll(const TSDByteArray& bytes, bool recursive, int32_t qualifier);

  int32_t Count() const noexcept { return elements_.Count(); }
  // A copy of element `index`; an empty element when out of range.
  TSDTLV At(int32_t index) const;

 private:
  TSDObjectArray elements_;  // TSDTLV copies
};

}  // namespace qorx
