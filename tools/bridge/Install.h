#pragma once

// Installation of the host for the user's browsers: the native messaging host manifest that
// tells Chromium, Chrome and Firefox where the host is and which extension may start it.

#include <string>
#include <vector>

namespace qorx::bridge {

constexpr const char* kHostName = "org.qorx.bridge";
// The extension's ID follows from the public key in its manifest (packaging/extension-key.pem).
constexpr const char* kChromeExtensionId = "lknnbfgigekfkeadnkapoefbfkmkijao";
constexpr const char* kFirefoxExtensionId = "bridge@qorx.org";

struct InstallOptions {
  std::string hostPath;               // the program the browser starts; this one by default
  std::vector<std::string> profiles;  // Chromium user data folders; the user's browsers if none
  std::vector<std::string> origins;   // added to the user's allowlist
};

// The manifest texts.
std::string ChromeManifest(const std::string& hostPath);
std::string FirefoxManifest(const std::string& hostPath);

// Writes (or removes) the manifests, prints each file, and returns the exit status.
int Install(const InstallOptions& options);
int Uninstall(const InstallOptions& options);
// Adds origins to the user's allowlist, which the extension learns from the host.
int AddOrigins(const std::vector<std::string>& origins);

}  // namespace qorx::bridge
