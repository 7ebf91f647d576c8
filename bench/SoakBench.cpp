// bench_soak: SoakBench.java in a JVM against the card simulator behind pcscd: 10,000 mixed
// operations (or the count given), with the JVM's resident memory and open descriptors every
// 1,000. When no simulator answers on the harness's control socket, this program runs
// `tools/harness/qorx-harness up` itself and `down` at the end.
//
//   build/bin/bench_soak [OPERATIONS]

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/BenchHarness.h"

using qorx::bench::HarnessDir;
using qorx::bench::HarnessGuard;

int main(int argc, char** argv) {
  // The JVM's own harness calls (removals, re-insertions) reach the same simulator.
  setenv("QORX_HARNESS_DIR", HarnessDir().c_str(), 0);
  setenv("QORX_CARDSIM", QORX_CARDSIM_PATH, 0);
  HarnessGuard guard;
  if (!guard.Start("bench_soak")) return 1;
  const std::string library = std::string("-Dqorx.library=") + QORX_LIBRARY;
  const std::string harness = std::string("-Dqorx.harness=") + QORX_HARNESS_SCRIPT;
  // A fixed Java heap, touched at start: what the resident memory still gains is native
  // memory (the library's, pcsc-lite's) and the JIT's code, not the heap filling up.
  std::vector<const char*> args = {QORX_JAVA,       "-Xms64m",
                                   "-Xmx64m",       "-XX:+AlwaysPreTouch",
                                   "-cp",           QORX_BENCH_CLASSPATH,
                                   library.c_str(), harness.c_str(),
                                   "SoakBench"};
  if (argc > 1) args.push_back(argv[1]);
  args.push_back(nullptr);
  std::fflush(nullptr);
  int status = -1;
  pid_t pid = fork();
  if (pid == 0) {
    execv(args[0], const_cast<char* const*>(args.data()));
    _exit(127);
  }
  if (pid > 0) waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
