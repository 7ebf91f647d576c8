#pragma once

// Shared by the integration tests that run against the machine's pcscd: the simulator that
// the CTest fixture started ("main", behind "Virtual PCD 00 00"), the harness script, and
// waiting for what pcscd sees.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tools/cardsim/Sockets.h"

namespace qorx::integration {

constexpr const char* kReader = "Virtual PCD 00 00";
constexpr const char* kSecondReader = "Virtual PCD 00 01";
// The simulator's default ATRs (tools/cardsim/CardConfig.cpp).
constexpr const char* kAtrT1 = "3B8801516F725853696D31FB";
constexpr const char* kAtrT0 = "3B08516F725853696D30";

// The harness state directory and simulator binary: from the environment when CTest or a
// developer sets them, else this build's.
inline std::string HarnessDir() {
  const char* dir = std::getenv("QORX_HARNESS_DIR");
  return dir != nullptr && *dir != 0 ? dir : QORX_HARNESS_DEFAULT_DIR;
}

// Runs tools/harness/qorx-harness with `arguments`; its exit status (77: not ours to touch).
inline int Harness(const std::string& arguments) {
  setenv("QORX_HARNESS_DIR", HarnessDir().c_str(), 0);
  setenv("QORX_CARDSIM", QORX_CARDSIM_PATH, 0);
  int status = std::system((std::string(QORX_HARNESS_SCRIPT) + " " + arguments + " >&2").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Polls `done` every 20 ms for up to `limit`; pcscd looks at the virtual reader every 400 ms.
inline bool WaitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// The simulator "main" through its control socket.
class Simulator {
 public:
  std::string Send(const std::string& command) const {
    std::string reply;
    if (!cardsim::SendControl(HarnessDir() + "/sim-main.ctl", command, &reply)) {
      ADD_FAILURE() << "simulator did not answer '" << command << "': " << reply;
    }
    return reply;
  }
  void Expect(const std::string& command) const {
    EXPECT_EQ(Send(command).substr(0, 2), "ok") << command;
  }
  bool StatusHas(const std::string& field) const {
    return Send("status").find(field) != std::string::npos;
  }
  // Out, start options back, `options` applied, in again; returns once the reader has
  // powered the card (which pcscd does when it sees a card arrive).
  void Reinsert(const std::vector<std::string>& options = {}) const {
    Remove();
    Expect("defaults");
    for (const std::string& option : options) Expect(option);
    Insert();
  }
  // Returns once the reader has seen the slot empty.
  void Remove() const {
    Expect("remove");
    ASSERT_TRUE(WaitFor([&] { return StatusHas("connected=0 removing=0"); })) << Send("status");
  }
  void Insert() const {
    Expect("insert");
    ASSERT_TRUE(WaitFor([&] { return StatusHas("ready=1"); })) << Send("status");
  }
  // Commands with this instruction byte that reached the card since the last ResetCounts.
  int Count(const std::string& ins) const {
    std::string reply = Send("count " + ins);
    return reply.compare(0, 3, "ok ") == 0 ? std::stoi(reply.substr(3)) : -1;
  }
  void ResetCounts() const { Expect("reset-counts"); }
};

}  // namespace qorx::integration
