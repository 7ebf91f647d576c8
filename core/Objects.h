#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>

#include "core/ByteArray.h"

namespace qorx {

// Root of the library's object classes. Memory comes zero-filled; running out raises 0xC200.
// The reference count is 1 after construction; only key nodes use it further.
class TSDObject {
 public:
  TSDObject() = default;
  TSDObject(const TSDObject&) : refCount_(1) {}
  TSDObject& operator=(const TSDObject&) { return *this; }
  virtual ~TSDObject() = default;

  static void* operator new(size_t size);
  static void operator delete(void* memory) noexcept;

  int32_t RefCount() const noexcept { return refCount_; }

 protected:
  int32_t refCount_ = 1;
};

// Owning, ordered list of objects; slots may hold null. Removing, replacing or clearing an
// element deletes it.
class TSDObjectArray {
 public:
  TSDObjectArray() = default;
  TSDObjectArray(const TSDObjectArray&) = delete;
  TSDObjectArray& operator=(const TSDObjectArray&) = delete;
  virtual ~TSDObjectArray();

  int32_t Count() const noexcept { return count_; }
  TSDObject* At(int32_t i) const noexcept {
    assert(i >= 0 && i < count_);
    return Table()[i];
  }
  void SetAt(int32_t i, TSDObject* object);
  int32_t InsertAt(int32_t i, TSDObject* object);
  int32_t Add(TSDObject* object) { return InsertAt(count_, object); }
  void RemoveRange(int32_t start, int32_t n);
  void Clear() { RemoveRange(0, count_); }
  void Pack();

 private:
  TSDObject** Table() const noexcept {
    return reinterpret_cast<TSDObject**>(const_cast<uint8_t*>(table_.Data()));
  }
  TSDByteArray table_;  // one pointer per element, in list order
  int32_t count_ = 0;
};

// A text object that can live in a TSDObjectArray (the reader list holds these).
class QorXString : public TSDObject {
 public:
  QorXString() : text_(TSDByteArray::EmptyText()) {}
  explicit QorXString(const char* text) : text_(text) {}
  const TSDByteArray& Text() const noexcept { return text_; }
  void SetText(const char* text) { text_.AssignText(text); }

 private:
  TSDByteArray text_;
};

}  // namespace qorx
