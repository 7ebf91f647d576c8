#pragma once

// The client side of creating a control, as a browser's script engine does it on Windows:
// ProgID -> CLSID (following CurVer) -> InprocServer32 -> load the library ->
// DllGetClassObject -> IClassFactory::CreateInstance -> IDispatch, all through the file-backed
// registry.

#include <string>

#include "bindings/control/Com.h"

namespace qorx::script {

// S_OK with *out holding one reference, or the failing HRESULT: CO_E_CLASSSTRING for an
// unknown ProgID, REGDB_E_CLASSNOTREG for a class without a server, CO_E_DLLNOTFOUND when the
// library does not load, CO_E_ERRORINDLL when it lacks DllGetClassObject, otherwise what the
// library answered. `detail` tells what failed, for the script's error message.
com::HRESULT CreateObjectFromProgId(const std::string& progId, com::IDispatch** out,
                                    std::string* detail);

}  // namespace qorx::script
