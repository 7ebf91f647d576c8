#include "core/Exceptions.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace qorx {

ESDException::ESDException(uint16_t code, const char* unit, int32_t line,
                           const char* message) noexcept
    : code_(code), line_(line), unit_(unit != nullptr ? unit : "") {
  std::snprintf(message_, sizeof message_, "%s", message != nullptr ? message : "");
}

EAPSException::EAPSException(const ESDException& e)
    : code_(aps::kFrameworkError), detail_(e.Code()), message_(TSDByteArray::EmptyText()) {
  // The composed message is limited to 1000 characters; the cut is intended.
  char text[1001];
  int n = std::snprintf(text, sizeof text, "%s(%d) : ", e.File(), static_cast<int>(e.Line()));
  if (n < 0) n = 0;
  if (static_cast<size_t>(n) < sizeof text) {
    size_t room = sizeof text - static_cast<size_t>(n) - 1;
    size_t len = std::strlen(e.Message());
    if (len > room) len = room;
    std::memcpy(text + n, e.Message(), len);
    text[static_cast<size_t>(n) + len] = '\0';
  }
  message_.AssignText(text);
}

EAPSException& EAPSException::operator=(const EAPSException& other) {
  if (this != &other) {
    message_ = TSDByteArray::TextCopy(other.message_);
    code_ = other.code_;
    detail_ = other.detail_;
  }
  return *this;
}

void RaiseSD(uint16_t code, const char* unit, int32_t line) {
  throw ESDException(code, unit, line, "");
}

void RaiseSDFormat(uint16_t code, const char* unit, int32_t line, const char* format, ...) {
  char message[ESDException::kMessageCapacity];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  throw ESDException(code, unit, line, message);
}

}  // namespace qorx
