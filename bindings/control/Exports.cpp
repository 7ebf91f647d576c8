// The four exports of the in-process server, beside the Java entry points in libqorx.so.
#include "bindings/control/Com.h"
#include "bindings/control/Module.h"

using namespace qorx::com;

#define QORX_EXPORT extern "C" __attribute__((visibility("default")))

QORX_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  return GetControlClassObject(rclsid, riid, ppv);
}

QORX_EXPORT HRESULT DllCanUnloadNow() {
  return CanUnloadControlModule();
}

QORX_EXPORT HRESULT DllRegisterServer() {
  return RegisterControl(OwnModulePath());
}

QORX_EXPORT HRESULT DllUnregisterServer() {
  return UnregisterControl(OwnModulePath());
}
