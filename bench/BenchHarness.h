#pragma once

// What the benchmarks on the simulated card share: the harness state directory, running
// tools/harness/qorx-harness, and stopping only what a benchmark started itself.

#include <cstdlib>
#include <string>

#include "tools/cardsim/Sockets.h"

namespace qorx::bench {

inline std::string HarnessDir() {
  const char* dir = std::getenv("QORX_HARNESS_DIR");
  return dir != nullptr && *dir != 0 ? dir : QORX_HARNESS_DEFAULT_DIR;
}

inline int Harness(const char* command) {
  setenv("QORX_HARNESS_DIR", HarnessDir().c_str(), 0);
  setenv("QORX_CARDSIM", QORX_CARDSIM_PATH, 0);
  return std::system((std::string(QORX_HARNESS_SCRIPT) + " " + command).c_str());
}

// Whether the simulator "main" of this harness directory has its card powered in the reader.
inline bool SimulatorReady() {
  std::string reply;
  return qorx::cardsim::SendControl(HarnessDir() + "/sim-main.ctl", "status", &reply) &&
         reply.find("ready=1") != std::string::npos;
}

// Stops what this program started, also when it leaves early.
struct HarnessGuard {
  bool started = false;
  ~HarnessGuard() {
    if (started) Harness("down");
  }
};

}  // namespace qorx::bench
