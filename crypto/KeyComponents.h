#pragma once

#include <cstdint>

#include "core/ByteArray.h"

namespace qorx {

// The key component list: the format in which every key's material is held, imported and
// exported. Components follow each other without gaps: tag (1 byte), length (1 byte, 1-256,
// 256 written as 0), value. Each tag occurs at most once.

// Pointer to the value of component `tag` (and its length), or null when absent. Raises
// 0xC100 "Incorrect buffer format" when the walk meets a component that runs past the end.
const uint8_t* FindComponent(const TSDByteArray& list, uint8_t tag, int* length = nullptr);
inline bool HasComponent(const TSDByteArray& list, uint8_t tag) {
  return FindComponent(list, tag) != nullptr;
}
// Value length of component `tag`; 0 when it is absent.
int ComponentLength(const TSDByteArray& list, uint8_t tag);
// Appends a component; 0xC100 when the tag is present, 0xC400 for a length outside 1-256.
void AddComponent(TSDByteArray& list, uint8_t tag, const uint8_t* value, int length);
void AddComponent(TSDByteArray& list, uint8_t tag, const TSDByteArray& value);
// Raises 0xC100 "Incorrect buffer format" unless every component of the whole list lies
// within it (a lone last byte is tolerated, as lookups ignore it). The one check of a list.
void CheckComponents(const TSDByteArray& list);
// Replaces the whole list, then validates it (the new bytes stay even when that raises).
const uint8_t* SetComponents(TSDByteArray& list, const uint8_t* bytes, int length);

// Adjusts every byte to DES odd parity.
void SetOddParity(uint8_t* buffer, int length) noexcept;

}  // namespace qorx
