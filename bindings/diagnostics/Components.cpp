// Section 4 of the report: the PC/SC pieces installed (the resource manager, the client library,
// the reader drivers) with their versions, and whether pcscd runs.
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "bindings/Diagnostics.h"
#include "bindings/diagnostics/Probes.h"

namespace qorx::diagnostics {

namespace {

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

}  // namespace

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

}  // namespace qorx::diagnostics
