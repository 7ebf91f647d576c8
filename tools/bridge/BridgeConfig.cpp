#include "tools/bridge/BridgeConfig.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "core/ConfigPaths.h"

namespace qorx::bridge {

namespace {

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

void BridgeConfig::Apply(const std::string& text, bool machine,
                         std::vector<std::string>* problems) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const std::string content = Trim(line.substr(0, line.find('#')));
    if (content.empty()) continue;
    const size_t equals = content.find('=');
    const std::string key = Trim(content.substr(0, equals));
    const std::string value = equals == std::string::npos ? "" : Trim(content.substr(equals + 1));
    if (equals == std::string::npos || value.empty()) {
      problems->push_back("not a \"key = value\" line: " + content);
    } else if (key == "pin-entry") {
      if (value == "host") {
        pinEntry = PinEntryPolicy::Host;
      } else if (value != "page-or-host") {
        problems->push_back("pin-entry is page-or-host or host, not " + value);
      } else if (machine) {
        pinEntry = PinEntryPolicy::PageOrHost;
      } else if (pinEntry == PinEntryPolicy::Host) {
        problems->push_back(
            "pin-entry = host is the machine's setting; a user's file cannot loosen it");
      }
    } else if (key == "pinentry-program") {
      if (value[0] != '/') {
        problems->push_back("pinentry-program is an absolute path, not " + value);
      } else if (machine || pinentryProgram.empty()) {
        pinentryProgram = value;
      }
    } else if (key == "pinentry-timeout") {
      char* end = nullptr;
      const long seconds = std::strtol(value.c_str(), &end, 10);
      if (*end != '\0' || seconds < 1 || seconds > kMaxPinentrySeconds) {
        problems->push_back("pinentry-timeout is a number of seconds from 1 to 60, not " + value);
      } else if (machine || seconds < pinentrySeconds) {
        pinentrySeconds = static_cast<int>(seconds);
      }
    } else {
      problems->push_back("unknown setting " + key);
    }
  }
}

void BridgeConfig::Load(const std::string& machinePath, const std::string& userPath,
                        std::vector<std::string>* problems) {
  bool machine = true;
  for (const std::string& path : {machinePath, userPath}) {
    std::ifstream file(path);
    if (!path.empty() && file) {
      std::ostringstream text;
      text << file.rdbuf();
      std::vector<std::string> found;
      Apply(text.str(), machine, &found);
      for (const std::string& problem : found) problems->push_back(path + ": " + problem);
    }
    machine = false;
  }
}

std::string SystemConfigPath() {
  return config::SystemFile("bridge.conf");
}

std::string UserConfigPath() {
  return config::UserFile("QORX_BRIDGE_CONF", "bridge.conf");
}

}  // namespace qorx::bridge
