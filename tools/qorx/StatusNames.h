#pragma once

#include <cstdint>

namespace qorx::cli {

// What a status means in the words support staff use: application statuses (what the front
// ends report) and framework codes, which share some numbers, so each has its own table.
// Null for a number neither table knows.
const char* ApplicationStatusName(int32_t status) noexcept;
const char* FrameworkCodeName(uint16_t code) noexcept;

}  // namespace qorx::cli
