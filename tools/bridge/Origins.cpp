#include "tools/bridge/Origins.h"

#include <cerrno>
#include <fstream>

#include "core/ConfigPaths.h"

namespace qorx::bridge {

namespace {

bool IsHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

}  // namespace

std::string CanonicalOrigin(const std::string& text) {
  std::string s;
  for (char c : text) s.push_back((c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c);
  std::string scheme;
  if (s.rfind("https://", 0) == 0) {
    scheme = "https";
  } else if (s.rfind("http://", 0) == 0) {
    scheme = "http";
  } else {
    return "";
  }
  std::string rest = s.substr(scheme.size() + 3);
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  std::string host = rest, port;
  const size_t colon = rest.find(':');
  if (colon != std::string::npos) {
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    if (port.empty() || port.size() > 5) return "";
    for (char c : port) {
      if (c < '0' || c > '9') return "";
    }
    const long number = std::strtol(port.c_str(), nullptr, 10);
    if (number < 1 || number > 65535) return "";
    port = std::to_string(number);
    if ((scheme == "https" && number == 443) || (scheme == "http" && number == 80)) port.clear();
  }
  if (host.empty() || host.size() > 253 || host.front() == '.' || host.back() == '.') return "";
  for (char c : host) {
    if (!IsHostChar(c)) return "";
  }
  // Plain http only for this machine's own pages.
  if (scheme == "http" && host != "localhost" && host != "127.0.0.1") return "";
  return scheme + "://" + host + (port.empty() ? "" : ":" + port);
}

bool OriginList::Add(const std::string& entry) {
  const std::string origin = CanonicalOrigin(entry);
  if (origin.empty()) return false;
  for (const auto& known : entries_) {
    if (known == origin) return true;
  }
  entries_.push_back(origin);
  return true;
}

bool OriginList::AddFile(const std::string& path, std::vector<std::string>* rejected) {
  std::ifstream in(path);
  if (!in) return errno == ENOENT || errno == ENOTDIR;
  std::string line;
  while (std::getline(in, line)) {
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    line = line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
    if (!Add(line) && rejected != nullptr) rejected->push_back(line);
  }
  return true;
}

bool OriginList::Allows(const std::string& origin) const {
  // The browser's serialisation of an origin is already canonical; anything else is refused
  // rather than reinterpreted.
  const std::string canonical = CanonicalOrigin(origin);
  if (canonical.empty() || canonical != origin) return false;
  for (const auto& known : entries_) {
    if (known == canonical) return true;
  }
  return false;
}

std::string UserOriginsPath() {
  return config::UserFile("QORX_BRIDGE_ORIGINS", "bridge-origins");
}

std::string SystemOriginsPath() {
  return config::SystemFile("bridge-origins");
}

}  // namespace qorx::bridge
