#pragma once

// Small helpers the C++ tests share: hex in and out, and what an action raised.

#include <cstdint>
#include <string>
#include <vector>

#include "core/ByteArray.h"
#include "core/Exceptions.h"

namespace qorx {
namespace test {

inline TSDByteArray Hex(const std::string& text) {
  TSDByteArray bytes;
  bytes.FromHex(text.c_str());
  return bytes;
}

inline std::string HexOf(const TSDByteArray& bytes) {
  return bytes.ToHex().CStr();
}

inline std::vector<uint8_t> BytesOf(const TSDByteArray& bytes) {
  return std::vector<uint8_t>(bytes.Data(), bytes.Data() + bytes.Length());
}

// What `action` raised as a framework failure: code 0 and empty texts when it raised nothing.
struct Raised {
  uint16_t code = 0;
  std::string message;
  std::string unit;
};

template <typename Action>
Raised CatchSD(Action&& action) {
  Raised raised;
  try {
    action();
  } catch (const ESDException& e) {
    raised.code = e.Code();
    raised.message = e.Message();
    raised.unit = e.File();
  }
  return raised;
}

template <typename Action>
uint16_t CodeOf(Action&& action) {
  return CatchSD(action).code;
}

// The application status `action` raised, 0 when none; a framework failure shows as
// 0x10000 | its code, so it can never pass for an application status.
template <typename Action>
int32_t StatusOf(Action&& action) {
  try {
    action();
  } catch (const EAPSException& e) {
    return e.Code();
  } catch (const ESDException& e) {
    return 0x10000 | e.Code();
  }
  return 0;
}

}  // namespace test
}  // namespace qorx
