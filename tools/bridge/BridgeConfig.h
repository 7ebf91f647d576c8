#pragma once

// The host's settings, from /etc/qorx/bridge.conf and the user's own bridge.conf: lines of
// "key = value", '#' starting a comment.
//
//   pin-entry = page-or-host   a code a page gives is used; without one, the host's dialog asks
//   pin-entry = host           only the host's dialog asks; a code from a page is refused
//   pinentry-program = PATH    the PIN dialog (else $QORX_PINENTRY, else pinentry on PATH)
//   pinentry-timeout = SECONDS how long a dialog waits for the customer (at most, and by
//                              default, 60)
//
// The machine's file is its administrator's: the user's file may tighten what it sets (a
// stricter pin-entry, a shorter timeout), never loosen it, and names a program only when the
// machine's file names none.

#include <string>
#include <vector>

namespace qorx::bridge {

enum class PinEntryPolicy { PageOrHost, Host };

struct BridgeConfig {
  static constexpr int kMaxPinentrySeconds = 60;

  PinEntryPolicy pinEntry = PinEntryPolicy::PageOrHost;
  std::string pinentryProgram;
  int pinentrySeconds = kMaxPinentrySeconds;

  // Applies one file's text; `machine` for the administrator's. Lines that cannot be used
  // are reported in `problems` and change nothing.
  void Apply(const std::string& text, bool machine, std::vector<std::string>* problems);
  // Reads the machine's file and then the user's; an absent file changes nothing.
  void Load(const std::string& machinePath, const std::string& userPath,
            std::vector<std::string>* problems);
};

// /etc/qorx/bridge.conf, and $QORX_BRIDGE_CONF or ~/.config/qorx/bridge.conf.
std::string SystemConfigPath();
std::string UserConfigPath();

}  // namespace qorx::bridge
