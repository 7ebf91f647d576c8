#pragma once

// Values between the script engine and a control: ECMAScript values as VARIANTs and back.
// Duktape keeps its strings as CESU-8 (a character beyond U+FFFF as two 3-byte surrogate
// halves); controls take BSTRs, the terminal UTF-8.

#include <duktape.h>

#include <string>

#include "bindings/control/Com.h"

namespace qorx::script {

// The value at `index` as a VARIANT the caller clears; false for a type a control cannot take
// (`out` is then empty).
bool ToVariant(duk_context* ctx, duk_idx_t index, com::VARIANT* out);
// Pushes the value (false: a description instead) and releases what the VARIANT held.
bool PushVariant(duk_context* ctx, com::VARIANT* v);
// The string at `index` as a new BSTR (null when memory runs out); the caller frees it.
com::BSTR ScriptStringToBstr(duk_context* ctx, duk_idx_t index);
// Any value at `index` as the terminal shows it: its text in UTF-8, up to a NUL.
std::string ScriptStringToUtf8(duk_context* ctx, duk_idx_t index);

}  // namespace qorx::script
