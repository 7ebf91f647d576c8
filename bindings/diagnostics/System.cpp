// Sections 2 and 3 of the report: the system's name, and the directory the PC/SC client
// library we load resolves in.
#include <dlfcn.h>
#include <link.h>
#include <sys/utsname.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "bindings/Diagnostics.h"
#include "bindings/diagnostics/Probes.h"
#include "transport/pcsc/PCSCLoader.h"

namespace qorx::diagnostics {

namespace {

// A value of an os-release file: quotes removed, backslash escapes resolved.
std::string OsReleaseValue(const std::string& raw) {
  std::string value = Trim(raw);
  if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
    const char quote = value[0];
    std::string out;
    for (size_t i = 1; i + 1 < value.size(); ++i) {
      if (quote == '"' && value[i] == '\\' && i + 2 < value.size()) ++i;
      out += value[i];
    }
    return out;
  }
  return value;
}

// The distribution's name, "" when no os-release file can be read.
std::string DistributionName() {
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::ifstream file(path);
    if (!file) continue;
    std::string line, pretty, name, version;
    while (std::getline(file, line)) {
      const size_t equals = line.find('=');
      if (equals == std::string::npos || line[0] == '#') continue;
      const std::string key = Trim(line.substr(0, equals));
      const std::string value = OsReleaseValue(line.substr(equals + 1));
      if (key == "PRETTY_NAME") pretty = value;
      if (key == "NAME") name = value;
      if (key == "VERSION") version = value;
    }
    if (!pretty.empty()) return pretty;
    if (!name.empty()) return version.empty() ? name : name + " " + version;
    return "Linux";  // what an os-release without either name stands for
  }
  return "";
}

// The file the loader finds for `name` (the slot loads it anyway and keeps it), "" if none.
std::string LocateLibrary(const std::string& name) {
  void* handle = dlopen(name.c_str(), RTLD_LAZY | RTLD_LOCAL | RTLD_NOLOAD);
  if (handle == nullptr) handle = dlopen(name.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (handle == nullptr) return "";
  std::string path;
  link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr)
    path = map->l_name;
  dlclose(handle);
  return path;
}

constexpr const char* kNoSystemDirectory =
    "; Nao foi possivel recuperar informações sobre o diretório de instalação";

}  // namespace

// Appends the section; returns whether the system could be named (the flag section 4 reads).
bool AppendSystemName(DiagnosticReport& r) {
  std::string name = DistributionName();
  utsname kernel;
  if (::uname(&kernel) == 0) {
    if (!name.empty()) name += ' ';
    name += kernel.sysname;
    name += ' ';
    name += kernel.release;
  }
  if (name.empty()) {
    r.Append(
        "Sistema = Windows; GetVersionExt() falhou - informações extendidas sobre versão não "
        "puderam ser recuperadas");
    return false;
  }
  r.Append("Sistema.Nome = ");
  r.Append(name.c_str());
  r.Append("\n");
  return true;
}

std::string PCSCLibraryName() {
  const char* configured = std::getenv(kPCSCLibraryVariable);
  return configured != nullptr && configured[0] != '\0' ? configured : kDefaultPCSCLibrary;
}

std::string AppendSystemDirectory(DiagnosticReport& r) {
  const std::string library = LocateLibrary(PCSCLibraryName());
  const std::string directory = library.empty() ? kNoSystemDirectory : DirectoryOf(library);
  r.Append("Sistema.DiretorioInstalacao = ");
  r.Append(directory.c_str());
  r.Append("\n");
  return directory;
}

}  // namespace qorx::diagnostics
