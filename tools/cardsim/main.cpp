// qorx-cardsim: a simulated bank card behind pcscd's vpcd virtual reader, for integration
// tests and manual checks. See --help.

#include <signal.h>

#include <cstdio>
#include <cstring>

#include "tools/cardsim/Options.h"
#include "tools/cardsim/Simulator.h"

namespace {

volatile int gStop = 0;

void OnSignal(int) {
  gStop = 1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace qorx::cardsim;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      fputs(Usage(), stdout);
      return 0;
    }
  }
  SimOptions options;
  std::string error;
  if (!ParseCommandLine(argc, argv, options, &error)) {
    fprintf(stderr, "qorx-cardsim: %s\n%s", error.c_str(), Usage());
    return 2;
  }
  if (!options.send.empty()) {
    if (options.control.empty()) {
      fprintf(stderr, "qorx-cardsim: --send needs --control\n");
      return 2;
    }
    std::string reply;
    bool answered = SendControl(options.control, options.send, &reply);
    fprintf(answered ? stdout : stderr, "%s\n", reply.c_str());
    return answered && reply.compare(0, 2, "ok") == 0 ? 0 : 1;
  }

  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnSignal;  // no SA_RESTART: poll() returns at once
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Simulator simulator(options);
  if (!simulator.Start(&error)) {
    fprintf(stderr, "qorx-cardsim: %s\n", error.c_str());
    return 1;
  }
  simulator.Run(gStop);
  return 0;
}
