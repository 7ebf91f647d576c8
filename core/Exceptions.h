#pragma once

#include <cstdint>

#include "core/ByteArray.h"
#include "core/StatusCodes.h"

namespace qorx {

// A framework failure: 16-bit code, formatted message, source unit and line of the raise
// point. Thrown and caught by value; it owns no heap memory, so raising cannot itself fail
// for lack of memory.
class ESDException {
 public:
  static constexpr int kMessageCapacity = 1024;  // at most 1023 characters are kept

  ESDException(uint16_t code, const char* unit, int32_t line, const char* message) noexcept;

  uint16_t Code() const noexcept { return code_; }
  const char* Message() const noexcept { return message_; }
  const char* File() const noexcept { return unit_; }
  int32_t Line() const noexcept { return line_; }

 private:
  uint16_t code_;
  int32_t line_;
  const char* unit_;  // one of the static unit names
  char message_[kMessageCapacity];
};

// An application status: what the front ends report to their callers.
class EAPSException {
 public:
  EAPSException() : code_(0), detail_(0), message_(TSDByteArray::EmptyText()) {}
  explicit EAPSException(int32_t code)
      : code_(code), detail_(0), message_(TSDByteArray::EmptyText()) {}
  // Code 0x0100, the framework code as detail, message "%s(%d) : %s" cut at 1000 characters.
  explicit EAPSException(const ESDException& e);
  EAPSException(int32_t code, int32_t detail, const TSDByteArray& message)
      : code_(code), detail_(detail), message_(TSDByteArray::TextCopy(message)) {}
  EAPSException(const EAPSException& other)
      : code_(other.code_),
        detail_(other.detail_),
        message_(TSDByteArray::TextCopy(other.message_)) {}
  EAPSException& operator=(const EAPSException& other);

  int32_t Code() const noexcept { return code_; }
  int32_t Detail() const noexcept { return detail_; }
  const TSDByteArray& Message() const noexcept { return message_; }
  void SetDetail(int32_t detail) noexcept { detail_ = detail; }
  void SetMessage(const char* text) { message_.AssignText(text); }

 private:
  int32_t code_;
  int32_t detail_;
  TSDByteArray message_;
};

[[noreturn]] void RaiseSD(uint16_t code, const char* unit, int32_t line);
[[noreturn]] void RaiseSDFormat(uint16_t code, const char* unit, int32_t line, const char* format,
                                ...) __attribute__((format(printf, 4, 5)));

}  // namespace qorx

// Raise an ESDException with an empty message / a printf-style message, naming this line.
#define QORX_RAISE(code, unit) ::qorx::RaiseSD((code), (unit), __LINE__)
#define QORX_RAISEF(code, unit, ...) ::qorx::RaiseSDFormat((code), (unit), __LINE__, __VA_ARGS__)
