#include "tools/qorx/Pin.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "core/Wipe.h"

namespace qorx::cli {

namespace {

// The terminal whose echo is off, for the signal handler to put back.
volatile sig_atomic_t g_echoOff = 0;
int g_tty = -1;
termios g_saved{};

void RestoreTerminal() noexcept {
  if (g_echoOff) {
    tcsetattr(g_tty, TCSAFLUSH, &g_saved);
    g_echoOff = 0;
  }
}

void OnSignal(int signal) {
  RestoreTerminal();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

// Reads one line into `buffer` (capacity `size`), NUL-terminated, newline not kept.
bool ReadLine(int fd, char* buffer, size_t size) noexcept {
  size_t length = 0;
  bool any = false;
  for (;;) {
    char c;
    const ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    any = true;
    if (c == '\n') break;
    if (length + 1 >= size) {
      // Too long: swallow the rest of the line so the next read starts clean.
      SecureWipe(buffer, size);
      while (read(fd, &c, 1) == 1 && c != '\n') {
      }
      c = 0;
      return false;
    }
    buffer[length++] = c;
    c = 0;
  }
  if (length > 0 && buffer[length - 1] == '\r') --length;
  buffer[length] = '\0';
  return any;
}

}  // namespace

SecretCode::~SecretCode() {
  SecureWipe(text_, sizeof text_);
}

bool SecretCode::ReadFrom(int fd) noexcept {
  return ReadLine(fd, text_, sizeof text_);
}

bool SecretCode::ReadFromTerminal(const char* prompt) noexcept {
  const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) return false;
  termios quiet{};
  if (tcgetattr(tty, &g_saved) != 0) {
    close(tty);
    return false;
  }
  g_tty = tty;
  quiet = g_saved;
  quiet.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHONL));
  quiet.c_lflag |= ICANON;
  struct sigaction action {
  }, oldInt{}, oldTerm{}, oldHup{};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &oldInt);
  sigaction(SIGTERM, &action, &oldTerm);
  sigaction(SIGHUP, &action, &oldHup);
  bool ok = false;
  if (write(tty, prompt, std::strlen(prompt)) >= 0 && tcsetattr(tty, TCSAFLUSH, &quiet) == 0) {
    g_echoOff = 1;
    ok = ReadLine(tty, text_, sizeof text_);
    RestoreTerminal();
    if (write(tty, "\n", 1) < 0) {
      // The code is read; a lost newline on the terminal changes nothing.
    }
  }
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);
  sigaction(SIGHUP, &oldHup, nullptr);
  g_tty = -1;
  close(tty);
  return ok;
}

}  // namespace qorx::cli
