#include "core/Objects.h"

#include <cstdlib>
#include <cstring>

#include "core/Exceptions.h"

namespace qorx {

void* TSDObject::operator new(size_t size) {
  void* memory = std::calloc(1, size);
  if (memory == nullptr) QORX_RAISE(sd::kNoMemory, unit::kObjects);
  return memory;
}

void TSDObject::operator delete(void* memory) noexcept {
  std::free(memory);
}

// Deletes the elements in place: packing the table would allocate, and a destructor must not
// be able to fail.
TSDObjectArray::~TSDObjectArray() {
  TSDObject** table = Table();
  for (int32_t i = 0; i < count_; ++i) {
    TSDObject* element = table[i];
    table[i] = nullptr;
    delete element;
  }
}

void TSDObjectArray::SetAt(int32_t i, TSDObject* object) {
  assert(i >= 0 && i < count_);
  TSDObject** table = Table();  // the table is never shared, so writing in place is safe
  TSDObject* old = table[i];
  table[i] = object;
  delete old;
}

int32_t TSDObjectArray::InsertAt(int32_t i, TSDObject* object) {
  assert(i >= 0 && i <= count_);
  constexpr int32_t kEntry = static_cast<int32_t>(sizeof(TSDObject*));
  try {
    table_.Insert(i * kEntry, kEntry);
  } catch (...) {
    delete object;  // the list owns what it is given, also when it cannot take it
    throw;
  }
  ++count_;
  Table()[i] = object;
  return i;
}

void TSDObjectArray::RemoveRange(int32_t start, int32_t n) {
  assert(start >= 0 && n >= 0 && start + n <= count_);
  for (int32_t i = start; i < start + n; ++i) SetAt(i, nullptr);
  Pack();
}

void TSDObjectArray::Pack() {
  TSDObject** table = Table();
  int32_t kept = 0;
  for (int32_t i = 0; i < count_; ++i) {
    if (table[i] != nullptr) table[kept++] = table[i];
  }
  if (kept != count_) {
    count_ = kept;
    table_.SetLength(kept * static_cast<int32_t>(sizeof(TSDObject*)));
  }
}

}  // namespace qorx
