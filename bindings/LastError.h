#pragma once

#include <cstdint>

#include "core/Exceptions.h"

namespace qorx {

// Each front end keeps a last-error record: an EAPSException holding the latest stored
// failure (code, detail, message). It starts as code 0, detail 0, empty message, and a
// successful call never clears it.

// Copies the record's message and its terminator into `buffer` and sets *length to the
// message's length in bytes (terminator not counted). With a null buffer only the length is
// reported. Returns 0; 257 (aps::kCannotServe) when `length` is null or the buffer given
// cannot hold the message *and* its terminator; 258 (aps::kUnexpected) on any other failure.
int32_t CopyLastErrorMessage(const EAPSException& record, char* buffer, int32_t* length) noexcept;

}  // namespace qorx
