#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>

namespace qorx {

// Copy-on-write byte buffer; also the library's text type (characters plus one NUL).
//
// Copies share one block; the first change through a shared handle copies the block.
// Every block comes zero-filled and is wiped before its memory is returned, so keys,
// secret codes and card data never linger in freed memory.
//
// Positions are 32-bit signed. Mid, DataAt, ByteAt, CharAt, Insert and Remove do not check
// their range (asserted in debug builds): they serve trusted internal callers only. Bytes from
// a card, a file or a caller are read through ByteReader instead.
class TSDByteArray {
 public:
  TSDByteArray();                       // empty array (length 0)
  explicit TSDByteArray(int32_t size);  // `size` zero bytes
  TSDByteArray(const void* bytes, int32_t length);
  explicit TSDByteArray(const char* text);  // text: strlen + 1 bytes, NUL at the end
  TSDByteArray(const TSDByteArray& other) noexcept;
  TSDByteArray& operator=(const TSDByteArray& other) noexcept;
  TSDByteArray& operator=(TSDByteArray&& other) noexcept;
  ~TSDByteArray();

  static TSDByteArray EmptyText();
  // A deep copy of all of `other`'s bytes with the last one forced to NUL.
  static TSDByteArray TextCopy(const TSDByteArray& other);
  // A deep copy of `other` without (keepTerminator false) or with its last byte.
  static TSDByteArray PrefixCopy(const TSDByteArray& other, bool keepTerminator);

  int32_t Length() const noexcept;
  bool IsEmpty() const noexcept { return Length() == 0; }
  const uint8_t* Data() const noexcept;
  const uint8_t* DataAt(int32_t pos) const noexcept {
    assert(pos >= 0 && pos <= Length());
    return Data() + pos;
  }
  uint8_t ByteAt(int32_t pos) const noexcept {
    assert(pos >= 0 && pos < Length());
    return Data()[pos];
  }
  uint8_t* WritableData();
  void MakeUnique();

  void SetLength(int32_t n);
  void Insert(int32_t pos, int32_t n);
  void Remove(int32_t pos, int32_t n);
  // Append and Write take their bytes from anywhere, this array's own content included.
  void Append(const TSDByteArray& other);
  void Append(const void* bytes, int32_t length);
  TSDByteArray Concat(const TSDByteArray& other) const;
  TSDByteArray Mid(int32_t pos, int32_t len) const;
  void SetByte(int32_t pos, uint8_t value);
  void Write(int32_t pos, const TSDByteArray& other);
  void Write(int32_t pos, const void* bytes, int32_t length);
  bool CopyOut(int32_t pos, void* dest, int32_t len) const noexcept;

  // Hex digits in either case; blanks, tabs, CR and LF may stand anywhere and are skipped.
  // Raises 0xC500 on any other character or an odd digit count, keeping the old content.
  void FromHex(const char* text);
  // Upper-case hex text of the content; `spaced` puts one blank between bytes.
  TSDByteArray ToHex(bool spaced = false) const;
  // Replaces the content by a whole file's bytes (below 2 GiB).
  void LoadFromFile(const char* fileName);

  // Text operations (content = characters followed by one NUL).
  void AssignText(const char* text);
  void AssignCopy(const TSDByteArray& other);
  void Fill(int32_t count, char ch);
  int32_t TextLength() const noexcept { return Length() - 1; }
  char CharAt(int32_t pos) const noexcept { return static_cast<char>(ByteAt(pos)); }
  // The content as a C string; an empty array reads as "".
  const char* CStr() const noexcept;

  bool operator==(const TSDByteArray& other) const noexcept;
  bool operator!=(const TSDByteArray& other) const noexcept { return !(*this == other); }

  // Number of handles sharing this block (tests and diagnostics).
  int32_t ShareCount() const noexcept;

 private:
  struct Block;
  explicit TSDByteArray(Block* block) noexcept : block_(block) {}
  static Block* Allocate(int32_t length);
  static void Release(Block* block) noexcept;
  uint8_t* Bytes() noexcept;

  Block* block_;
};

}  // namespace qorx
