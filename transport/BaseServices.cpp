#include "transport/BaseServices.h"

#include <cstring>

#include "core/Exceptions.h"

namespace qorx {

TSDBaseService::TSDBaseService(const char* name)
    : text_(TSDByteArray::EmptyText()), name_(name != nullptr ? name : "") {}

void TSDBaseService::Open(const char*) {}

void TSDBaseService::Close() {}

int TSDBaseService::GetAttribute(uint16_t, void*, int) {
  QORX_RAISE(sd::kInvalidArgument, unit::kBaseServices);
}

int TSDBaseService::SetAttribute(uint16_t, const void*, int) {
  QORX_RAISE(sd::kInvalidArgument, unit::kBaseServices);
}

TSDBaseServiceFactory::TSDBaseServiceFactory(const char* name)
    : name_(name != nullptr ? name : ""), names_(TSDByteArray::EmptyText()) {}

void TSDBaseServiceFactory::Reset() {
  names_ = TSDByteArray::EmptyText();
  cursor_ = -1;
}

int TSDBaseServiceFactory::StartEnumeration() {
  Reset();
  int size = 0;
  int n = EnumerateNames(nullptr, &size);
  if (n <= 0 || size <= 0) return 0;
  names_.Fill(size, ' ');  // one spare NUL beyond what the factory may fill
  n = EnumerateNames(reinterpret_cast<char*>(names_.WritableData()), &size);
  if (n <= 0) return 0;
  cursor_ = 0;
  return n;
}

TSDByteArray TSDBaseServiceFactory::NextName() {
  if (cursor_ < 0 || cursor_ >= names_.Length()) {
    Reset();
    return TSDByteArray::EmptyText();
  }
  // The buffer always ends in a NUL, so the name cannot run past it.
  const char* name = reinterpret_cast<const char*>(names_.DataAt(cursor_));
  TSDByteArray result(name);
  cursor_ += result.Length();
  if (cursor_ >= names_.Length() || names_.ByteAt(cursor_) == 0) Reset();
  return result;
}

}  // namespace qorx
