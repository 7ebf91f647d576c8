#pragma once

// The in-process server around the control: its class factory, whether the module may be
// unloaded, and registration in the file-backed registry.

#include <string>

#include "bindings/control/Com.h"

namespace qorx::com {

constexpr const char* kProgId = "VTKPLG01_QorBrowserPluginCOM.KestrelX5";
constexpr const char* kVersionedProgId = "VTKPLG01_QorBrowserPluginCOM.KestrelX5.1";

// The registry script of the control, in the registrar's syntax with %MODULE% for the path of
// the library file.
const char* ControlRegistryScript() noexcept;

HRESULT GetControlClassObject(REFCLSID rclsid, REFIID riid, void** ppv) noexcept;
HRESULT CanUnloadControlModule() noexcept;
// `modulePath` is what %MODULE% becomes: the library's own file.
HRESULT RegisterControl(const std::string& modulePath) noexcept;
HRESULT UnregisterControl(const std::string& modulePath) noexcept;
// The file this code was loaded from, or "" when it cannot be told.
std::string OwnModulePath();

}  // namespace qorx::com
