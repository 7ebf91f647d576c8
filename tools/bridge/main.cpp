// qorx-bridge: the native messaging host through which a bank page, by way of the QorX
// browser extension, scripts the control.
//
//   qorx-bridge                 serve one browser connection on standard input and output
//   qorx-bridge --install [--origin ORIGIN]... [--profile DIR]... [--host PATH]
//   qorx-bridge --uninstall [--profile DIR]...
//   qorx-bridge --origin ORIGIN...          add to the user's allowlist only
//   qorx-bridge --manifest chrome|firefox [--host PATH]   print a host manifest (for packages)
//
// The browser starts the host with the calling extension's origin as its argument; the host
// then answers message after message until the browser closes its input, and exits having
// closed the reader.

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tools/bridge/BridgeConfig.h"
#include "tools/bridge/Framing.h"
#include "tools/bridge/Install.h"
#include "tools/bridge/Origins.h"
#include "tools/bridge/Pinentry.h"
#include "tools/bridge/Session.h"

using namespace qorx::bridge;

namespace {

volatile int g_stopFlag = 0;

void OnSignal(int) {
  g_stopFlag = 1;
}

void InstallSignals() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = OnSignal;  // no SA_RESTART: a blocked read returns and we leave
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a closed output is a failed write, and we leave
}

// Seconds the host may go on after the browser has closed its input: time to finish the
// call under way and close the reader. A call that runs longer (a card or reader that stopped
// answering) does not keep the process, and with it the reader, held: the process ends, and
// the PC/SC service releases what it held.
constexpr int kGraceSeconds = 3;

int ServeSession(OriginList origins, BridgeConfig config);

std::atomic<bool> g_done{false};

void WatchInput() {
  struct pollfd input = {STDIN_FILENO, 0, 0};  // no events asked: hang-up and errors only
  while (!g_done.load()) {
    const int n = poll(&input, 1, 200);
    if (n > 0 && (input.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) break;
  }
  // A PIN dialog left open would wait for a customer who has gone.
  AbandonPinDialogs();
  for (int i = 0; i < kGraceSeconds * 10 && !g_done.load(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (!g_done.load()) _exit(0);
}

int Serve() {
  OriginList origins;
  for (const std::string& path : {SystemOriginsPath(), UserOriginsPath()}) {
    std::vector<std::string> rejected;
    if (!origins.AddFile(path, &rejected))
      std::fprintf(stderr, "qorx-bridge: cannot read %s\n", path.c_str());
    for (const auto& line : rejected)
      std::fprintf(stderr, "qorx-bridge: %s: not an allowed kind of origin: %s\n", path.c_str(),
                   line.c_str());
  }
  BridgeConfig config;
  std::vector<std::string> problems;
  config.Load(SystemConfigPath(), UserConfigPath(), &problems);
  for (const auto& problem : problems) std::fprintf(stderr, "qorx-bridge: %s\n", problem.c_str());
  InstallSignals();
  // The signals that ask us to stop must interrupt the main thread's read, so the watcher
  // never takes them.
  sigset_t stopping, previous;
  sigemptyset(&stopping);
  sigaddset(&stopping, SIGTERM);
  sigaddset(&stopping, SIGINT);
  sigaddset(&stopping, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopping, &previous);
  std::thread watcher(WatchInput);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  const int status = ServeSession(std::move(origins), std::move(config));
  g_done = true;
  watcher.join();
  return status;
}

int ServeSession(OriginList origins, BridgeConfig config) {
  Session session(std::move(origins), std::move(config));
  std::string message;
  for (;;) {
    // Card events go out between answers: one that comes during a call waits for its answer.
    struct pollfd ready[2] = {{STDIN_FILENO, POLLIN, 0}, {session.EventDescriptor(), POLLIN, 0}};
    if (poll(ready, 2, -1) < 0) {
      if (errno == EINTR && !g_stopFlag) continue;
      break;
    }
    if ((ready[1].revents & POLLIN) != 0) {
      for (const std::string& event : session.TakeEvents())
        if (!WriteMessage(STDOUT_FILENO, event)) return 0;
    }
    if (ready[0].revents == 0) continue;
    uint32_t declared = 0;
    const ReadStatus status =
        ReadMessage(STDIN_FILENO, kMaxRequestSize, &message, &declared, &g_stopFlag);
    std::string answer;
    if (status == ReadStatus::Message) {
      answer = session.Handle(reinterpret_cast<const uint8_t*>(message.data()), message.size());
      explicit_bzero(message.data(), message.size());
    } else if (status == ReadStatus::TooLarge) {
      answer = Session::Oversized(declared);
    } else {
      break;
    }
    if (!WriteMessage(STDOUT_FILENO, answer)) break;
  }
  return 0;  // the session's end closes the reader
}

int Usage() {
  std::fprintf(stderr,
               "usage: qorx-bridge --install [--origin ORIGIN]... [--profile DIR]... [--host "
               "PATH]\n"
               "       qorx-bridge --uninstall [--profile DIR]...\n"
               "       qorx-bridge --origin ORIGIN [--origin ORIGIN]...\n"
               "       qorx-bridge --manifest chrome|firefox [--host PATH]\n"
               "Without options it serves a browser connection on standard input and output.\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc < 2 ? "" : argv[1];
  if (command != "--install" && command != "--uninstall" && command != "--origin" &&
      command != "--manifest" && command != "--help") {
    // The browser's arguments (the extension's origin, a parent window) need no answer.
    return Serve();
  }
  if (command == "--help") return Usage();
  InstallOptions options;
  std::string browser;
  // --origin and --manifest are options themselves: the loop takes them with their value.
  for (int i = command == "--origin" || command == "--manifest" ? 1 : 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return Usage();
    if (arg == "--origin") {
      options.origins.push_back(argv[++i]);
    } else if (arg == "--profile") {
      options.profiles.push_back(argv[++i]);
    } else if (arg == "--host") {
      options.hostPath = argv[++i];
    } else if (arg == "--manifest" && command == "--manifest" && browser.empty()) {
      browser = argv[++i];
    } else {
      return Usage();
    }
  }
  if (command == "--origin")
    return options.profiles.empty() && options.hostPath.empty() ? AddOrigins(options.origins)
                                                                : Usage();
  if (command == "--manifest") {
    // The path as given: a package names where the host will be, not where it is now.
    if ((browser != "chrome" && browser != "firefox") || options.hostPath.empty() ||
        options.hostPath.front() != '/' || !options.profiles.empty() || !options.origins.empty())
      return Usage();
    std::fputs((browser == "chrome" ? ChromeManifest : FirefoxManifest)(options.hostPath).c_str(),
               stdout);
    return 0;
  }
  return command == "--install" ? Install(options) : Uninstall(options);
}
