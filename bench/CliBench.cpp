// Wall time of qorx commands against two PC/SC tools that list the same readers: `qorx
// version`, `qorx readers` and `qorx status` against `pcsc_scan -r` (pcsc-tools) and
// `opensc-tool -l` (OpenSC), each run as a fresh process, as a user or a script would run it.
// Targets: every qorx command under 50 ms and no slower than the faster peer.
//
// The simulator must stand behind "Virtual PCD 00 00"; when none answers this program runs
// `tools/harness/qorx-harness up` itself and `down` at the end.
//   build/bin/bench_cli [--rounds N]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/BenchHarness.h"

extern char** environ;

namespace {

using qorx::bench::HarnessGuard;

using Clock = std::chrono::steady_clock;

struct Program {
  std::string label;
  std::vector<std::string> argv;
  bool ours;
  double medianMs = 0, minMs = 0;
  bool ran = true;
};

// Runs argv once with its output discarded; milliseconds, or -1 when it fails to run or exits
// non-zero.
double RunOnce(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const auto start = Clock::now();
  pid_t pid;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 30;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[++i]));

  HarnessGuard harness;
  if (!harness.Start("bench_cli")) return 1;

  std::vector<Program> programs = {
      {"qorx version", {QORX_CLI_PATH, "version"}, true},
      {"qorx readers", {QORX_CLI_PATH, "readers"}, true},
      {"qorx status", {QORX_CLI_PATH, "status"}, true},
      {"pcsc_scan -r", {"pcsc_scan", "-r"}, false},
      {"opensc-tool -l", {"opensc-tool", "-l"}, false},
  };
  // Interleaved rounds, so a slow moment of the machine falls on every program alike.
  std::vector<std::vector<double>> times(programs.size());
  for (int round = -1; round < rounds; ++round) {  // round -1 warms the caches
    for (size_t p = 0; p < programs.size(); ++p) {
      if (!programs[p].ran) continue;
      const double ms = RunOnce(programs[p].argv);
      if (ms < 0) {
        programs[p].ran = false;
        continue;
      }
      if (round >= 0) times[p].push_back(ms);
    }
  }
  double fasterPeer = 0;
  for (size_t p = 0; p < programs.size(); ++p) {
    if (!programs[p].ran || times[p].empty()) continue;
    std::sort(times[p].begin(), times[p].end());
    programs[p].medianMs = times[p][times[p].size() / 2];
    programs[p].minMs = times[p].front();
    if (!programs[p].ours && (fasterPeer == 0 || programs[p].medianMs < fasterPeer))
      fasterPeer = programs[p].medianMs;
  }

  std::printf("bench_cli: wall time of one process, median of %d runs (min in brackets)\n", rounds);
  bool met = true;
  for (const Program& p : programs) {
    if (!p.ran) {
      std::printf("  %-16s did not run (not installed, or it failed)\n", p.label.c_str());
      if (p.ours) met = false;
      continue;
    }
    std::printf("  %-16s %7.2f ms (%.2f)", p.label.c_str(), p.medianMs, p.minMs);
    if (p.ours && fasterPeer > 0) {
      const bool ok = p.medianMs < 50.0 && p.medianMs <= fasterPeer;
      met = met && ok;
      std::printf("   %.2fx the faster peer  %s", p.medianMs / fasterPeer, ok ? "ok" : "MISSED");
    }
    std::printf("\n");
  }
  std::printf("bench_cli: targets (each qorx command < 50 ms, no slower than the faster peer) %s\n",
              fasterPeer > 0 ? (met ? "met" : "MISSED") : "not judged: no peer ran");
  return 0;
}
