#include "core/ConfigPaths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace qorx::config {

namespace {

const char* Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

std::string HomeFolder() {
  if (const char* home = Variable("HOME")) return home;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr || found->pw_dir[0] != '/')
    return "";
  return found->pw_dir;
}

std::string UserConfigFolder() {
  if (const char* config = Variable("XDG_CONFIG_HOME"); config != nullptr && *config == '/')
    return config;
  const std::string home = HomeFolder();
  return home.empty() ? "" : home + "/.config";
}

std::string UserFile(const char* overrideVariable, const char* name) {
  if (const char* path = Variable(overrideVariable)) return path;
  const std::string folder = UserConfigFolder();
  return folder.empty() ? "" : folder + "/qorx/" + name;
}

std::string SystemFile(const char* name) {
  return std::string(kSystemFolder) + "/" + name;
}

bool MakeFolders(const std::string& folder, mode_t mode) {
  struct stat info;
  if (stat(folder.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return true;
    errno = ENOTDIR;
    return false;
  }
  const size_t slash = folder.find_last_of('/', folder.size() > 1 ? folder.size() - 2 : 0);
  if (slash != std::string::npos && slash > 0 && !MakeFolders(folder.substr(0, slash), mode))
    return false;
  return mkdir(folder.c_str(), mode) == 0 || errno == EEXIST;
}

}  // namespace qorx::config
