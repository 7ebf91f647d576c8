// qorx-regsvr: registers an in-process server in the file-backed registry, in the manner of
// regsvr32.
//
//   qorx-regsvr [/u] [/s] LIBRARY     (-u and -s also work)
//
// Loads LIBRARY, calls its DllRegisterServer (or with /u DllUnregisterServer) and prints the
// result unless /s is given. Exit status as regsvr32's: 0 success, 1 bad arguments, 3 the
// library does not load, 4 it lacks the entry point, 5 the call failed.

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "bindings/control/Com.h"

using qorx::com::HRESULT;

int main(int argc, char** argv) {
  bool unregister = false, silent = false;
  const char* library = nullptr;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if ((a[0] == '/' || a[0] == '-') && a[1] != 0 && a[2] == 0 &&
        std::strchr("uUsS", a[1]) != nullptr) {
      if (a[1] == 'u' || a[1] == 'U') unregister = true;
      if (a[1] == 's' || a[1] == 'S') silent = true;
    } else if (library == nullptr) {
      library = a;
    } else {
      library = nullptr;
      break;
    }
  }
  if (library == nullptr) {
    std::fprintf(stderr, "usage: qorx-regsvr [/u] [/s] LIBRARY\n");
    return 1;
  }
  const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  // A bare name would be searched for by the loader; a path is what the registry should keep.
  const std::string path =
      std::strchr(library, '/') != nullptr ? library : "./" + std::string(library);
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* error = dlerror();
    std::fprintf(stderr, "qorx-regsvr: the module \"%s\" failed to load: %s\n", library,
                 error != nullptr ? error : "?");
    return 3;
  }
  auto function = reinterpret_cast<HRESULT (*)()>(dlsym(handle, entry));
  if (function == nullptr) {
    std::fprintf(stderr,
                 "qorx-regsvr: the module \"%s\" was loaded but the entry point %s was not found\n",
                 library, entry);
    return 4;
  }
  const HRESULT hr = function();
  if (qorx::com::Failed(hr)) {
    std::fprintf(stderr, "qorx-regsvr: %s in \"%s\" failed with error code 0x%08X\n", entry,
                 library, static_cast<unsigned>(hr));
    return 5;
  }
  if (!silent) std::printf("%s in \"%s\" succeeded.\n", entry, library);
  return 0;
}
