#include "tools/bridge/Install.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/ConfigPaths.h"
#include "tools/bridge/Json.h"
#include "tools/bridge/Origins.h"

namespace qorx::bridge {

namespace {

struct Target {
  std::string folder;
  bool firefox;
};

std::vector<Target> Targets(const InstallOptions& options) {
  std::vector<Target> targets;
  for (const auto& profile : options.profiles)
    targets.push_back({profile + "/NativeMessagingHosts", false});
  if (!targets.empty()) return targets;
  // Without a home folder there is no browser of the user's to install for.
  const std::string settings = config::UserConfigFolder(), home = config::HomeFolder();
  if (!settings.empty()) {
    targets.push_back({settings + "/chromium/NativeMessagingHosts", false});
    targets.push_back({settings + "/google-chrome/NativeMessagingHosts", false});
  }
  if (!home.empty()) targets.push_back({home + "/.mozilla/native-messaging-hosts", true});
  return targets;
}

std::string HostPath(const InstallOptions& options) {
  if (!options.hostPath.empty()) {
    char resolved[PATH_MAX];
    return realpath(options.hostPath.c_str(), resolved) != nullptr ? resolved : options.hostPath;
  }
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  self[n] = '\0';
  return self;
}

bool WriteFile(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

std::string Manifest(const std::string& hostPath, const char* allowKey,
                     const std::string& allowed) {
  std::string out = "{\n  \"name\": \"" + std::string(kHostName) + "\",\n";
  out += "  \"description\": \"QorX smart-card bridge for internet banking pages\",\n";
  out += "  \"path\": ";
  AppendJsonString(&out, hostPath);
  out += ",\n  \"type\": \"stdio\",\n  \"" + std::string(allowKey) + "\": [";
  AppendJsonString(&out, allowed);
  out += "]\n}\n";
  return out;
}

}  // namespace

std::string ChromeManifest(const std::string& hostPath) {
  return Manifest(hostPath, "allowed_origins",
                  "chrome-extension://" + std::string(kChromeExtensionId) + "/");
}

std::string FirefoxManifest(const std::string& hostPath) {
  return Manifest(hostPath, "allowed_extensions", kFirefoxExtensionId);
}

int Install(const InstallOptions& options) {
  const std::string host = HostPath(options);
  if (host.empty() || host.front() != '/') {
    std::fprintf(stderr, "qorx-bridge: cannot tell where the host program is\n");
    return 1;
  }
  int status = 0;
  for (const Target& target : Targets(options)) {
    const std::string file = target.folder + "/" + kHostName + ".json";
    if (!config::MakeFolders(target.folder, 0755) ||
        !WriteFile(file, target.firefox ? FirefoxManifest(host) : ChromeManifest(host))) {
      std::fprintf(stderr, "qorx-bridge: cannot write %s: %s\n", file.c_str(),
                   std::strerror(errno));
      status = 1;
      continue;
    }
    std::printf("installed %s\n", file.c_str());
  }
  if (!options.origins.empty() && AddOrigins(options.origins) != 0) status = 1;
  return status;
}

int AddOrigins(const std::vector<std::string>& origins) {
  int status = 0;
  const std::string path = UserOriginsPath();
  OriginList known;
  std::vector<std::string> rejected;
  known.AddFile(path, &rejected);
  std::string added;
  for (const auto& origin : origins) {
    const std::string canonical = CanonicalOrigin(origin);
    if (canonical.empty()) {
      std::fprintf(stderr,
                   "qorx-bridge: %s is not an origin that may be allowed (https, or http "
                   "only for localhost and 127.0.0.1)\n",
                   origin.c_str());
      status = 1;
      continue;
    }
    if (!known.Allows(canonical)) added += canonical + "\n";
    known.Add(canonical);
  }
  std::string text;
  {
    std::ifstream in(path);
    std::ostringstream old;
    old << in.rdbuf();
    text = old.str();
  }
  if (!text.empty() && text.back() != '\n') text.push_back('\n');
  if (text.empty()) text = "# Origins whose pages may use the card reader, one per line.\n";
  const size_t slash = path.rfind('/');
  if (!added.empty() &&
      (slash == std::string::npos || slash == 0 ||
       !config::MakeFolders(path.substr(0, slash), 0755) || !WriteFile(path, text + added))) {
    std::fprintf(stderr, "qorx-bridge: cannot write %s\n", path.c_str());
    return 1;
  }
  std::printf("allowed origins in %s\n", path.c_str());
  return status;
}

int Uninstall(const InstallOptions& options) {
  int status = 0;
  for (const Target& target : Targets(options)) {
    const std::string file = target.folder + "/" + kHostName + ".json";
    if (std::remove(file.c_str()) == 0) {
      std::printf("removed %s\n", file.c_str());
    } else if (errno != ENOENT && errno != ENOTDIR) {
      std::fprintf(stderr, "qorx-bridge: cannot remove %s: %s\n", file.c_str(),
                   std::strerror(errno));
      status = 1;
    }
  }
  return status;
}

}  // namespace qorx::bridge
