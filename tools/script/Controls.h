#pragma once

// Controls as script objects: `new ActiveXObject(progId)` gives a Proxy whose members are
// read and called by name through IDispatch. A failing HRESULT becomes a script error whose
// `number` is the HRESULT.

#include <duktape.h>

#include "bindings/control/Com.h"

namespace qorx::script {

// Pushes the script object of a control, taking over the caller's reference.
void PushDispatch(duk_context* ctx, com::IDispatch* dispatch);
// The ActiveXObject constructor, for the global object.
duk_ret_t ActiveXObject(duk_context* ctx);

}  // namespace qorx::script
