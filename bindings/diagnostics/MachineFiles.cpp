// Small readers of this machine's files, and the process lookup (which reads /proc).
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bindings/Diagnostics.h"
#include "bindings/diagnostics/Probes.h"

namespace qorx {
namespace diagnostics {

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

}  // namespace diagnostics

// ---- Processes -------------------------------------------------------------------------------

pid_t FindProcessId(const char* name) noexcept {
  if (name == nullptr || name[0] == '\0') return 0;
  try {
    const std::string wanted = diagnostics::Upper(name);
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
      candidate = diagnostics::Upper(candidate);
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
