#pragma once

// What the benchmarks on the simulated card share: the harness state directory, running
// tools/harness/qorx-harness, and stopping only what a benchmark started itself.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// The count given as "--name N" on the command line (at least 1), or `fallback`.
inline int CountOption(int argc, char** argv, const char* name, int fallback) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return std::max(1, std::atoi(argv[i + 1]));
  return fallback;
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
  // A simulator that answers: the one running, or one the harness starts now (and this guard
  // stops). False, with a message naming `program`, when the harness cannot start.
  bool Start(const char* program) {
    if (SimulatorReady()) return true;
    std::fprintf(stderr, "%s: no simulator answers in %s; starting the harness\n", program,
                 HarnessDir().c_str());
    if (Harness("up") != 0) {
      std::fprintf(stderr, "%s: the harness did not start\n", program);
      return false;
    }
    started = true;
    return true;
  }
};

}  // namespace qorx::bench
