#include "bindings/Diagnostics.h"

#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "applet/TerminalAppletService.h"
#include "core/Exceptions.h"
#include "core/StatusCodes.h"
#include "transport/pcsc/PCSCLoader.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace qorx {

// ---------------------------------------------------------------------------------------------
// The report buffer

void DiagnosticReport::Clear() noexcept {
  std::memset(text_, 0, sizeof text_);
  length_ = 0;
  full_ = false;
}

bool DiagnosticReport::Append(const char* text) noexcept {
  if (full_) return false;
  if (text == nullptr) return true;
  const size_t n = std::strlen(text);
  if (n >= kCapacity - length_) {
    full_ = true;
    return false;
  }
  std::memcpy(text_ + length_, text, n + 1);
  length_ += n;
  return true;
}

bool DiagnosticReport::AppendFormat(const char* format, ...) noexcept {
  if (full_) return false;
  const size_t room = kCapacity - length_;
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text_ + length_, room, format, args);
  va_end(args);
  if (n < 0 || static_cast<size_t>(n) >= room) {
    // Take back what vsnprintf wrote of the piece that did not fit.
    std::memset(text_ + length_, 0, room);
    full_ = true;
    return false;
  }
  length_ += static_cast<size_t>(n);
  return true;
}

namespace {

// ---------------------------------------------------------------------------------------------
// Small readers of this machine's files

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

bool Exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> DirectoryEntries(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(directory.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r\n";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// ---------------------------------------------------------------------------------------------
// 1. Processor

struct ProcessorInfo {
  int architecture;  // the codes support tools know: x86 0, ARM 5, x86-64 9, ARM64 12
  int type;
  long count;
  int level;
  int revision;
};

ProcessorInfo ReadProcessor() {
  ProcessorInfo p{0xFFFF, 0, ::sysconf(_SC_NPROCESSORS_ONLN), 0, 0};
  if (p.count < 1) p.count = 1;
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
    const unsigned baseFamily = (eax >> 8) & 0xF;
    const unsigned family = baseFamily == 0xF ? baseFamily + ((eax >> 20) & 0xFF) : baseFamily;
    unsigned model = (eax >> 4) & 0xF;
    if (baseFamily == 0x6 || baseFamily == 0xF) model |= ((eax >> 16) & 0xF) << 4;
    p.level = static_cast<int>(family);
    p.revision = static_cast<int>(model * 256 + (eax & 0xF));
  }
#if defined(__x86_64__)
  p.architecture = 9;
  p.type = 8664;
#else
  p.architecture = 0;
  p.type = p.level >= 5 ? 586 : p.level == 4 ? 486 : 386;
#endif
#else
#if defined(__aarch64__)
  p.architecture = 12;
#elif defined(__arm__)
  p.architecture = 5;
#endif
  // Processors that give a family, model and stepping in /proc/cpuinfo; others leave 0.
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  int model = 0, stepping = 0;
  while (std::getline(cpuinfo, line) && !line.empty()) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string key = Trim(line.substr(0, colon));
    const int value = std::atoi(line.c_str() + colon + 1);
    if (key == "cpu family") p.level = value;
    if (key == "model") model = value;
    if (key == "stepping") stepping = value;
  }
  p.revision = model * 256 + stepping;
#endif
  return p;
}

void AppendProcessor(DiagnosticReport& r) {
  const ProcessorInfo p = ReadProcessor();
  r.Append("Processador.Arquitetura = ");
  switch (p.architecture) {
    case 0:
      r.Append("Intel x86\n");
      break;
    case 1:
      r.Append("MIPS\n");
      break;
    case 2:
      r.Append("Alpha\n");
      break;
    case 3:
      r.Append("PPC\n");
      break;
    default:
      r.Append("Nao Intel\n");
      break;
  }
  r.Append("Processador.Modelo = ");
  switch (p.type) {
    case 386:
      r.Append("386\n");
      break;
    case 486:
      r.Append("486\n");
      break;
    case 586:
      r.Append("Pentium\n");
      break;
    case 4000:
      r.Append("MIPS_R4000\n");
      break;
    case 21064:
      r.Append("Alpha 21064\n");
      break;
    default:
      r.Append("Indeterminada\n");
      break;
  }
  r.AppendFormat("Processador.Quantidade= %d\nProcessador.Nivel= %d\nProcessador.Revisao= %d\n",
                 static_cast<int>(p.count), p.level, p.revision);
}

// ---------------------------------------------------------------------------------------------
// 2. System name

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

// ---------------------------------------------------------------------------------------------
// 3. System directory: where the PC/SC client library we load resolves

std::string PCSCLibraryName() {
  const char* configured = std::getenv(kPCSCLibraryVariable);
  return configured != nullptr && configured[0] != '\0' ? configured : kDefaultPCSCLibrary;
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

std::string AppendSystemDirectory(DiagnosticReport& r) {
  const std::string library = LocateLibrary(PCSCLibraryName());
  const std::string directory = library.empty() ? kNoSystemDirectory : DirectoryOf(library);
  r.Append("Sistema.DiretorioInstalacao = ");
  r.Append(directory.c_str());
  r.Append("\n");
  return directory;
}

// ---------------------------------------------------------------------------------------------
// 4. PC/SC components

struct Version {
  unsigned parts[4] = {0, 0, 0, 0};
};

// "1.9.9-2" gives 1.9.9.0, "1:3.3+dfsg-2" gives 3.3.0.0: the upstream version's leading
// dotted numbers (no epoch, no packaging revision), missing parts 0.
Version ParseVersion(std::string text) {
  Version v;
  const size_t colon = text.find(':');
  if (colon != std::string::npos) text = text.substr(colon + 1);
  size_t i = 0;
  for (int part = 0; part < 4 && i < text.size(); ++part) {
    if (text[i] < '0' || text[i] > '9') break;
    unsigned value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      if (value < 100000000u) value = value * 10 + static_cast<unsigned>(text[i] - '0');
      ++i;
    }
    v.parts[part] = value;
    if (i >= text.size() || text[i] != '.') break;
    ++i;
  }
  return v;
}

// The names a file may carry in the package database: on a merged /usr the same file is
// /lib/x or /usr/lib/x depending on how its package lists it.
std::vector<std::string> PackagePathAliases(const std::string& path) {
  std::vector<std::string> aliases{path};
  char resolved[PATH_MAX];
  if (::realpath(DirectoryOf(path).c_str(), resolved) != nullptr)
    aliases.push_back(std::string(resolved) + "/" + BaseName(path));
  for (size_t i = 0, n = aliases.size(); i < n; ++i) {
    const std::string a = aliases[i];  // a copy: push_back may move the elements
    for (const char* top : {"/lib/", "/lib32/", "/lib64/", "/bin/", "/sbin/"}) {
      if (a.compare(0, std::strlen(top), top) == 0) aliases.push_back("/usr" + a);
      if (a.compare(0, 4 + std::strlen(top), std::string("/usr") + top) == 0)
        aliases.push_back(a.substr(4));
    }
  }
  return aliases;
}

// Package versions of files, from dpkg's database: one pass over the file lists finds the
// packages, one pass over the status file their versions. Files of no package stay unknown.
std::map<std::string, Version> PackageVersions(const std::vector<std::string>& files) {
  const std::string database = "/var/lib/dpkg";
  std::map<std::string, std::string> fileOfAlias;
  for (const std::string& f : files)
    for (const std::string& alias : PackagePathAliases(f)) fileOfAlias.emplace(alias, f);

  std::map<std::string, std::vector<std::string>> filesOfPackage;  // "name" or "name:arch"
  std::string line;
  for (const std::string& entry : DirectoryEntries(database + "/info")) {
    if (entry.size() <= 5) continue;
    const size_t suffix = entry.size() - 5;
    if (entry.compare(suffix, 5, ".list") != 0) continue;
    std::ifstream list(database + "/info/" + entry);
    while (std::getline(list, line)) {
      auto found = fileOfAlias.find(line);
      if (found != fileOfAlias.end())
        filesOfPackage[entry.substr(0, suffix)].push_back(found->second);
    }
  }

  std::map<std::string, Version> versions;
  if (filesOfPackage.empty()) return versions;
  std::ifstream status(database + "/status");
  std::string package, architecture, version;
  bool installed = false;
  auto finishStanza = [&] {
    if (installed && !package.empty()) {
      for (const std::string& key : {package, package + ":" + architecture}) {
        auto owner = filesOfPackage.find(key);
        if (owner == filesOfPackage.end()) continue;
        for (const std::string& f : owner->second) versions[f] = ParseVersion(version);
      }
    }
    package.clear();
    architecture.clear();
    version.clear();
    installed = false;
  };
  while (std::getline(status, line)) {
    if (line.empty()) {
      finishStanza();
      continue;
    }
    if (line.compare(0, 8, "Package:") == 0) package = Trim(line.substr(8));
    if (line.compare(0, 13, "Architecture:") == 0) architecture = Trim(line.substr(13));
    if (line.compare(0, 8, "Version:") == 0) version = Trim(line.substr(8));
    if (line.compare(0, 7, "Status:") == 0)
      installed = line.find(" installed") != std::string::npos;
  }
  finishStanza();
  return versions;
}

// A driver bundle's own version, from its Info.plist: the short version string (what the
// driver calls its release), else the bundle version.
bool BundleVersion(const std::string& bundle, Version* out) {
  std::ifstream plist(bundle + "/Contents/Info.plist");
  if (!plist) return false;
  std::string text((std::istreambuf_iterator<char>(plist)), std::istreambuf_iterator<char>());
  for (const char* key : {"CFBundleShortVersionString", "CFBundleVersion"}) {
    const size_t at = text.find(std::string("<key>") + key + "</key>");
    if (at == std::string::npos) continue;
    const size_t open = text.find("<string>", at);
    const size_t close = open == std::string::npos ? open : text.find("</string>", open);
    if (close == std::string::npos) continue;
    *out = ParseVersion(Trim(text.substr(open + 8, close - open - 8)));
    return true;
  }
  return false;
}

struct Component {
  std::string name;  // as the report names it
  std::string path;  // the file (or bundle directory) it stands for
  bool bundle;
};

std::string FindResourceManager() {
  for (const char* dir : {"/usr/local/sbin", "/usr/sbin", "/sbin", "/usr/local/bin", "/usr/bin"}) {
    const std::string path = std::string(dir) + "/pcscd";
    if (Exists(path)) return path;
  }
  return "/usr/sbin/pcscd";  // reported missing
}

// The reader drivers pcscd would load: the bundles of its drivers directory, then the drivers
// that /etc/reader.conf.d names (serial and virtual readers such as vpcd).
std::vector<Component> ReaderDrivers() {
  std::vector<Component> drivers;
  std::vector<std::string> dropDirs;
  if (const char* configured = std::getenv("PCSCLITE_HP_DROPDIR"))
    dropDirs.emplace_back(configured);
  for (const char* dir :
       {"/usr/lib/pcsc/drivers", "/usr/lib64/pcsc/drivers", "/usr/local/lib/pcsc/drivers"})
    dropDirs.emplace_back(dir);
  for (const std::string& dir : dropDirs) {
    if (!IsDirectory(dir)) continue;
    for (const std::string& entry : DirectoryEntries(dir)) {
      if (entry.size() > 7 && entry.compare(entry.size() - 7, 7, ".bundle") == 0 &&
          IsDirectory(dir + "/" + entry))
        drivers.push_back({entry, dir + "/" + entry, true});
    }
    break;  // pcscd uses the one directory it was built with
  }
  const std::string conf = "/etc/reader.conf.d";
  for (const std::string& entry : DirectoryEntries(conf)) {
    if (entry.back() == '~') continue;
    std::ifstream file(conf + "/" + entry);
    std::string line;
    while (std::getline(file, line)) {
      const std::string t = Trim(line);
      if (t.compare(0, 7, "LIBPATH") != 0 || t.size() < 8 || (t[7] != ' ' && t[7] != '\t'))
        continue;
      const std::string path = Trim(t.substr(7));
      const bool known = std::any_of(drivers.begin(), drivers.end(),
                                     [&](const Component& c) { return c.path == path; });
      if (!path.empty() && !known) drivers.push_back({path, path, false});
    }
  }
  return drivers;
}

void AppendComponents(DiagnosticReport& r, const std::string& directory, bool systemNamed) {
  const std::string library = BaseName(PCSCLibraryName());
  std::vector<Component> components{{"pcscd", FindResourceManager(), false},
                                    {library, directory + "/" + library, false}};
  for (Component& driver : ReaderDrivers()) components.push_back(driver);

  std::vector<std::string> files;
  for (const Component& c : components)
    if (!c.bundle) files.push_back(c.path);
  const std::map<std::string, Version> packaged = PackageVersions(files);

  bool libraryFound = false;
  for (size_t i = 0; i < components.size(); ++i) {
    const Component& c = components[i];
    const bool present = Exists(c.path);
    if (i == 1) libraryFound = present;
    if (!present) {
      r.AppendFormat("PCSCLib.%s = nao_localizado\n", c.name.c_str());
      continue;
    }
    Version v;
    if (c.bundle) {
      BundleVersion(c.path, &v);
    } else {
      auto found = packaged.find(c.path);
      if (found != packaged.end()) v = found->second;
    }
    r.AppendFormat("PCSCLib.%s = %u.%u.%u.%u\n", c.name.c_str(), v.parts[0], v.parts[1], v.parts[2],
                   v.parts[3]);
  }
  if (!libraryFound && !systemNamed) {
    r.Append("Smart Card Base Components NÃO está instalado.\n");
    return;
  }
  const pid_t id = FindProcessId("pcscd");
  if (id != 0) {
    r.AppendFormat("PCSCRM= %08x; Gerenciador de Recursos OK.\n", static_cast<unsigned>(id));
  } else {
    r.Append("PCSCRM= 0; **ATENCAO**: O Gerenciador de Recursos NÃO está sendo executado.\n");
  }
}

// ---------------------------------------------------------------------------------------------
// 5. Readers

class ServiceReaders : public DiagnosticReaderSource {
 public:
  explicit ServiceReaders(TSDBaseTerminalAppletService& service) : service_(service) {}
  int Count() override { return service_.GetReaderCount(); }
  TSDByteArray Name(int index) override { return service_.GetReaderName(index); }

 private:
  TSDBaseTerminalAppletService& service_;
};

void AppendReaders(DiagnosticReport& r, DiagnosticReaderSource& readers) {
  int count;
  try {
    count = readers.Count();
  } catch (const EAPSException& e) {
    r.Append("Leitoras.Quantidade = 0; Nao foi possivel enumerar leitoras PC/SC.\n");
    r.Append("ErroExtendido= ");
    r.Append(e.Message().CStr());
    return;
  }
  r.AppendFormat("Leitoras.Quantidade = %d\n", count);
  for (int i = 0; i < count && !r.Full(); ++i) {
    try {
      const TSDByteArray name = readers.Name(i);
      r.AppendFormat("Leitoras.Leitora.%d = %s\n", i, name.CStr());
    } catch (const EAPSException& e) {
      r.AppendFormat("Leitoras.Leitora.%d = %x ; Impossível enumerar leitora %d\n", i,
                     static_cast<unsigned>(e.Code()), i);
      return;
    }
  }
}

// Everything but the readers, which may raise.
void AppendMachine(DiagnosticReport& r) {
  r.Append("[PCSCDiagnosticTest]\n");
  AppendProcessor(r);
  const bool systemNamed = AppendSystemName(r);
  const std::string directory = AppendSystemDirectory(r);
  AppendComponents(r, directory, systemNamed);
}

}  // namespace

int32_t BuildDiagnosticReport(DiagnosticReaderSource& readers, DiagnosticReport* report) {
  if (report == nullptr) return aps::kCannotServe;
  report->Clear();
  try {
    AppendMachine(*report);
  } catch (...) {
    // Out of memory while looking at the machine: what was written stands, the readers follow.
  }
  AppendReaders(*report, readers);
  return aps::kSuccess;
}

int32_t BuildDiagnosticReport(TSDBaseTerminalAppletService& service, DiagnosticReport* report) {
  ServiceReaders readers(service);
  return BuildDiagnosticReport(readers, report);
}

// ---------------------------------------------------------------------------------------------
// Processes

pid_t FindProcessId(const char* name) noexcept {
  if (name == nullptr || name[0] == '\0') return 0;
  try {
    const std::string wanted = Upper(name);
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return 0;
    pid_t result = 0;
    while (dirent* entry = ::readdir(proc)) {
      char* end;
      const long id = std::strtol(entry->d_name, &end, 10);
      if (*end != '\0' || id <= 0) continue;
      const std::string dir = std::string("/proc/") + entry->d_name;
      // A process that ended but was not yet waited for (a zombie) no longer runs.
      std::ifstream stat(dir + "/stat");
      std::string statLine;
      std::getline(stat, statLine);
      const size_t paren = statLine.rfind(')');
      if (paren == std::string::npos || paren + 2 >= statLine.size() || statLine[paren + 2] == 'Z')
        continue;
      // The executable as started (argv[0]), else the kernel's short name: both readable for
      // every process, unlike the exe link of another user's process.
      std::string candidate;
      std::ifstream cmdline(dir + "/cmdline");
      std::getline(cmdline, candidate, '\0');
      if (candidate.empty()) {
        std::ifstream comm(dir + "/comm");
        std::getline(comm, candidate);
      }
      candidate = Upper(candidate);
      const size_t at = candidate.find(wanted);
      if (at != std::string::npos && at + wanted.size() == candidate.size()) {
        result = static_cast<pid_t>(id);
        break;
      }
    }
    ::closedir(proc);
    return result;
  } catch (...) {
    return 0;
  }
}

}  // namespace qorx
