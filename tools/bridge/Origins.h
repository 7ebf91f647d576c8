#pragma once

// The origins whose pages may reach the card: https origins, and http only for localhost and
// 127.0.0.1 (tests, the demo). An origin matches an entry exactly: scheme, host and port.

#include <string>
#include <vector>

namespace qorx::bridge {

class OriginList {
 public:
  // Adds one entry; false (and nothing added) for a text that is not an origin we accept.
  bool Add(const std::string& entry);
  // Adds the entries of a file, one per line; '#' starts a comment. Lines that are not
  // acceptable origins are reported in `rejected`. False when the file exists but cannot be
  // read; an absent file adds nothing.
  bool AddFile(const std::string& path, std::vector<std::string>* rejected);
  bool Allows(const std::string& origin) const;
  const std::vector<std::string>& Entries() const { return entries_; }

 private:
  std::vector<std::string> entries_;
};

// The canonical form of an origin ("https://bank.example", "http://localhost:8080"): lower
// case, no default port, no path; "" when `text` is not an origin we accept.
std::string CanonicalOrigin(const std::string& text);

// Where the installation's allowlist lives: $QORX_BRIDGE_ORIGINS when set, else
// $XDG_CONFIG_HOME/qorx/bridge-origins (~/.config/qorx/bridge-origins).
std::string UserOriginsPath();
// The machine-wide list, read as well: /etc/qorx/bridge-origins.
std::string SystemOriginsPath();

}  // namespace qorx::bridge
