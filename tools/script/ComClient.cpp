#include "tools/script/ComClient.h"

#include <dlfcn.h>

#include <map>

#include "bindings/control/Registry.h"

namespace qorx::script {

using namespace qorx::com;

namespace {

// Libraries stay loaded for the process's life, as an apartment keeps its in-process servers
// until it ends; their objects may outlive any one script statement.
void* LoadServer(const std::string& path, std::string* detail) {
  static std::map<std::string, void*> loaded;
  auto it = loaded.find(path);
  if (it != loaded.end()) return it->second;
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* error = dlerror();
    *detail = error != nullptr ? error : path;
    return nullptr;
  }
  loaded[path] = handle;
  return handle;
}

}  // namespace

HRESULT CreateObjectFromProgId(const std::string& progId, IDispatch** out, std::string* detail) {
  *out = nullptr;
  RegistryData registry;
  if (!LoadRegistry(&registry)) {
    *detail = "cannot read " + RegistryPath();
    return REGDB_E_READREGDB;
  }
  // A version-independent ProgID names its current version; a few hops at most.
  std::string name = progId;
  for (int hop = 0; hop < 4; ++hop) {
    auto next = registry.Value(name + "\\CurVer", "");
    if (!next || next->empty() || *next == name) break;
    name = *next;
  }
  auto clsidText = registry.Value(name + "\\CLSID", "");
  if (!clsidText) clsidText = registry.Value(progId + "\\CLSID", "");
  GUID clsid;
  if (progId.empty() || progId.find('\\') != std::string::npos || !clsidText ||
      !GuidFromString(*clsidText, &clsid)) {
    *detail = "no class is registered as " + progId;
    return CO_E_CLASSSTRING;
  }
  const auto server = registry.Value("CLSID\\" + *clsidText + "\\InprocServer32", "");
  if (!server || server->empty()) {
    *detail = "class " + *clsidText + " has no in-process server";
    return REGDB_E_CLASSNOTREG;
  }
  void* library = LoadServer(*server, detail);
  if (library == nullptr) return CO_E_DLLNOTFOUND;
  auto getClassObject = reinterpret_cast<DllGetClassObjectFn>(dlsym(library, "DllGetClassObject"));
  if (getClassObject == nullptr) {
    *detail = *server + " exports no DllGetClassObject";
    return CO_E_ERRORINDLL;
  }
  IClassFactory* factory = nullptr;
  HRESULT hr = getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (Failed(hr) || factory == nullptr) {
    *detail = "DllGetClassObject of " + *server;
    return Failed(hr) ? hr : E_UNEXPECTED;
  }
  hr = factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(out));
  factory->Release();
  if (Failed(hr)) *detail = "CreateInstance of " + *clsidText;
  return hr;
}

}  // namespace qorx::script
