#include "bindings/control/Module.h"

#include <climits>
#include <cstdlib>
#include <new>

#include "bindings/ModuleVersion.h"
#include "bindings/control/QorX.h"
#include "bindings/control/QorXInterface.h"
#include "bindings/control/Registrar.h"
#include "bindings/control/Registry.h"

namespace qorx::com {

namespace {

constexpr const char* kScript = R"(HKCR
{
  VTKPLG01_QorBrowserPluginCOM.KestrelX5.1 = s 'KestrelX5 Class'
  {
    CLSID = s '%CLSID%'
  }
  VTKPLG01_QorBrowserPluginCOM.KestrelX5 = s 'KestrelX5 Class'
  {
    CLSID = s '%CLSID%'
    CurVer = s 'VTKPLG01_QorBrowserPluginCOM.KestrelX5.1'
  }
  NoRemove CLSID
  {
    ForceRemove %CLSID% = s 'KestrelX5 Class'
    {
      ProgID = s 'VTKPLG01_QorBrowserPluginCOM.KestrelX5.1'
      VersionIndependentProgID = s 'VTKPLG01_QorBrowserPluginCOM.KestrelX5'
      ForceRemove 'Programmable'
      InprocServer32 = s '%MODULE%'
      {
        val ThreadingModel = s 'Apartment'
      }
      ForceRemove 'Control'
      ForceRemove 'Insertable'
      ForceRemove 'ToolboxBitmap32' = s '%MODULE%, 101'
      'MiscStatus' = s '0'
      {
        '1' = s '132497'
      }
      'TypeLib' = s '%LIBID%'
      'Version' = s '1.0'
    }
  }
}
)";

// The public categories a page may rely on, with their descriptions at locale 1033 (409).
struct Category {
  GUID id;
  const char* description;
};
const Category kSafeForScripting = {
    {0x7DD95801, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}},
    "Controls that are safely scriptable"};
const Category kSafeForInitializing = {
    {0x7DD95802, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}},
    "Controls safely initializable from persistent data"};
// Automation interfaces are marshalled by the standard OLE Automation proxy.
const CLSID kAutomationProxy = {
    0x00020424, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

std::atomic<long>& ServerLocks() noexcept {
  static std::atomic<long> locks{0};
  return locks;
}

class ClassFactory final : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  // One factory for the module's lifetime; references do not keep it alive.
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }

  HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
    CQorX* object = nullptr;
    try {
      object = new CQorX();
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (...) {
      return E_FAIL;
    }
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();  // the caller's reference is the one QueryInterface added
    return hr;
  }

  HRESULT LockServer(int32_t fLock) override {
    if (fLock != 0) {
      ++ServerLocks();
    } else {
      --ServerLocks();
    }
    return S_OK;
  }
};

ClassFactory& Factory() noexcept {
  static ClassFactory factory;
  return factory;
}

RegistrarReplacements Replacements(const std::string& modulePath) {
  return {{"MODULE", modulePath},
          {"CLSID", GuidToString(CLSID_QorX)},
          {"LIBID", GuidToString(LIBID_VTKPLG01_QorXCOMLib)}};
}

std::string Directory(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

// The keys type-library registration writes: the library and its dual interface.
void RegisterTypeLibrary(RegistryData& registry, const std::string& modulePath) {
  const std::string lib = "TypeLib\\" + GuidToString(LIBID_VTKPLG01_QorXCOMLib) + "\\1.0";
  registry.SetValue(lib, "", "Type Library - Controle KestrelX - Internet Banking");
  registry.SetValue(lib + "\\0\\linux64", "", modulePath);
  registry.SetValue(lib + "\\FLAGS", "", "0");
  registry.SetValue(lib + "\\HELPDIR", "", Directory(modulePath));
  const std::string itf = "Interface\\" + GuidToString(IID_IQorX);
  registry.SetValue(itf, "", "IQorX");
  registry.SetValue(itf + "\\ProxyStubClsid", "", GuidToString(kAutomationProxy));
  registry.SetValue(itf + "\\ProxyStubClsid32", "", GuidToString(kAutomationProxy));
  registry.SetValue(itf + "\\TypeLib", "", GuidToString(LIBID_VTKPLG01_QorXCOMLib));
  registry.SetValue(itf + "\\TypeLib", "Version", "1.0");
}

void UnregisterTypeLibrary(RegistryData& registry) {
  const std::string lib = "TypeLib\\" + GuidToString(LIBID_VTKPLG01_QorXCOMLib);
  registry.DeleteTree(lib + "\\1.0");
  if (registry.SubKeys(lib).empty()) registry.DeleteTree(lib);
  registry.DeleteTree("Interface\\" + GuidToString(IID_IQorX));
}

// Defines the category (RegisterCategories) and marks the class as implementing it
// (RegisterClassImplCategories). Failures only leave the category out.
void RegisterCategory(const Category& category) {
  RegistryTransaction transaction;
  if (!transaction.Ok()) return;
  std::string description = category.description;
  if (description.size() > 127) description.resize(127);
  const std::string id = GuidToString(category.id);
  transaction.Data().SetValue("Component Categories\\" + id, "409", description);
  transaction.Data().CreateKey("CLSID\\" + GuidToString(CLSID_QorX) + "\\Implemented Categories\\" +
                               id);
  transaction.Commit();
}

}  // namespace

const char* ControlRegistryScript() noexcept {
  return kScript;
}

HRESULT GetControlClassObject(REFCLSID rclsid, REFIID riid, void** ppv) noexcept {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (rclsid != CLSID_QorX) return CLASS_E_CLASSNOTAVAILABLE;
  return Factory().QueryInterface(riid, ppv);
}

HRESULT CanUnloadControlModule() noexcept {
  return ModuleUsage() == 0 && ServerLocks() == 0 ? S_OK : S_FALSE;
}

HRESULT RegisterControl(const std::string& modulePath) noexcept {
  try {
    {
      // The script and the type library in one locked read-modify-write; what this step
      // returns is not reported, as registration never reports a failure.
      RegistryTransaction transaction;
      if (transaction.Ok() && Succeeded(ApplyRegistryScript(transaction.Data(), kScript,
                                                            Replacements(modulePath), true))) {
        RegisterTypeLibrary(transaction.Data(), modulePath);
        transaction.Commit();
      }
    }
    RegisterCategory(kSafeForScripting);
    RegisterCategory(kSafeForInitializing);
  } catch (...) {
  }
  return S_OK;
}

HRESULT UnregisterControl(const std::string& modulePath) noexcept {
  try {
    RegistryTransaction transaction;
    if (!transaction.Ok()) return REGDB_E_READREGDB;
    const HRESULT hr =
        ApplyRegistryScript(transaction.Data(), kScript, Replacements(modulePath), false);
    if (Failed(hr)) return hr;
    UnregisterTypeLibrary(transaction.Data());
    return transaction.Commit() ? S_OK : REGDB_E_WRITEREGDB;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

std::string OwnModulePath() {
  char path[4096];
  if (!GetOwnModulePath(path, sizeof path)) return std::string();
  // The registry outlives the working folder of whoever registered: keep the full path.
  char* full = realpath(path, nullptr);
  if (full == nullptr) return path;
  std::string result = full;
  std::free(full);
  return result;
}

}  // namespace qorx::com
