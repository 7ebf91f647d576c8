#include "tools/bridge/Pinentry.h"

#include <assuan.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "core/Wipe.h"

namespace qorx::bridge {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_abandoned{false};

// Time a program gets to start and answer the settings before the question: a dialog
// program answers them at once, so one that does not is hung.
constexpr int kSetupSeconds = 10;
// Time a program gets to leave after its input closed, before it is ended by force.
constexpr auto kLeaveGrace = std::chrono::milliseconds(1000);

// libassuan's memory: a size header in front, so that every block is wiped when freed. Its
// context holds the line buffer into which the code arrives.
constexpr size_t kHeader = alignof(std::max_align_t) > sizeof(size_t) ? alignof(std::max_align_t)
                                                                      : sizeof(size_t);
void* WipingMalloc(size_t size) {
  auto* block = static_cast<char*>(std::malloc(size + kHeader));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &size, sizeof size);
  return block + kHeader;
}
void WipingFree(void* pointer) {
  if (pointer == nullptr) return;
  char* block = static_cast<char*>(pointer) - kHeader;
  size_t size;
  std::memcpy(&size, block, sizeof size);
  SecureWipe(block, size + kHeader);
  std::free(block);
}
void* WipingRealloc(void* pointer, size_t size) {
  if (pointer == nullptr) return WipingMalloc(size);
  void* moved = WipingMalloc(size);
  if (moved == nullptr) return nullptr;
  size_t old;
  std::memcpy(&old, static_cast<char*>(pointer) - kHeader, sizeof old);
  std::memcpy(moved, pointer, old < size ? old : size);
  WipingFree(pointer);
  return moved;
}
assuan_malloc_hooks g_wipingHooks = {WipingMalloc, WipingRealloc, WipingFree};

struct Deadline {
  Clock::time_point at;
  bool expired = false;
};

// Reads wait for the program no longer than the deadline, and not at all once the browser
// has gone.
ssize_t ReadWithDeadline(assuan_context_t ctx, assuan_fd_t fd, void* buffer, size_t size) {
  auto* deadline = static_cast<Deadline*>(assuan_get_pointer(ctx));
  for (;;) {
    if (g_abandoned.load()) {
      errno = ECANCELED;
      return -1;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline->at - Clock::now()).count();
    if (left <= 0) {
      deadline->expired = true;
      errno = ETIMEDOUT;
      return -1;
    }
    struct pollfd input = {fd, POLLIN, 0};
    const int ready = poll(&input, 1, left < 100 ? static_cast<int>(left) : 100);
    if (ready < 0 && errno != EINTR) return -1;
    if (ready <= 0) continue;
    const ssize_t n = read(fd, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

// The program is reaped here rather than by libassuan: one that does not leave once its input
// closed is ended, and since it is ours until reaped, the signal cannot reach another process.
pid_t ReapProgram(assuan_context_t, pid_t pid, int nowait, int* status, int) {
  if (nowait || pid <= 0) return 0;
  int ignored;
  if (status == nullptr) status = &ignored;
  // Once the browser has gone nobody waits for the dialog's goodbye.
  const auto end = Clock::now() + (g_abandoned.load() ? Clock::duration::zero() : kLeaveGrace);
  do {
    const pid_t done = waitpid(pid, status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return done;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (Clock::now() < end);
  kill(pid, SIGKILL);
  pid_t done;
  do {
    done = waitpid(pid, status, 0);
  } while (done < 0 && errno == EINTR);
  return done;
}

assuan_system_hooks g_systemHooks = {ASSUAN_SYSTEM_HOOKS_VERSION,
                                     __assuan_usleep,
                                     __assuan_pipe,
                                     __assuan_close,
                                     ReadWithDeadline,
                                     __assuan_write,
                                     __assuan_recvmsg,
                                     __assuan_sendmsg,
                                     __assuan_spawn,
                                     ReapProgram,
                                     __assuan_socketpair,
                                     __assuan_socket,
                                     __assuan_connect};

// Assuan's escaping of a command's argument: '%', CR and LF (and other control characters)
// as %XX. The text is cut, at a character's start, to keep the line within the protocol's
// 1000 bytes.
std::string Escaped(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (out.size() > 700 && (c & 0xC0) != 0x80) break;
    if (c < 0x20 || c == '%' || c == 0x7F) {
      static const char kDigits[] = "0123456789ABCDEF";
      out += '%';
      out += kDigits[c >> 4];
      out += kDigits[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

gpg_error_t TakeCode(void* target, const void* bytes, size_t length) {
  static_cast<SecretText*>(target)->Append(static_cast<const char*>(bytes), length);
  return 0;
}

bool Executable(const std::string& path) {
  return !path.empty() && access(path.c_str(), X_OK) == 0;
}

}  // namespace

void SecretText::Append(const char* bytes, size_t length) noexcept {
  if (overlong_ || length > kCapacity - length_) {
    overlong_ = true;
    return;
  }
  std::memcpy(data_ + length_, bytes, length);
  length_ += length;
}

void SecretText::Clear() noexcept {
  SecureWipe(data_, sizeof data_);
  length_ = 0;
  overlong_ = false;
}

bool SecretText::Equals(const SecretText& other) const noexcept {
  return length_ == other.length_ && overlong_ == other.overlong_ &&
         std::memcmp(data_, other.data_, length_) == 0;
}

struct PinDialog::State {
  assuan_context_t ctx = nullptr;
  Deadline deadline;
};

PinDialog::PinDialog(std::string program, int seconds)
    : program_(std::move(program)), seconds_(seconds) {}

PinDialog::~PinDialog() {
  if (state_ == nullptr) return;
  if (state_->ctx != nullptr) assuan_release(state_->ctx);  // closes its input, then reaps it
  delete state_;
}

bool PinDialog::Start(std::string* why) {
  if (!Executable(program_)) {
    *why = program_.empty() ? "no PIN dialog program is installed (pinentry)"
                            : "the PIN dialog program " + program_ + " cannot be run";
    return false;
  }
  state_ = new State;
  gpg_error_t err =
      assuan_new_ext(&state_->ctx, GPG_ERR_SOURCE_DEFAULT, &g_wipingHooks, nullptr, nullptr);
  if (err != 0) {
    state_->ctx = nullptr;
    *why = std::string("libassuan: ") + gpg_strerror(err);
    return false;
  }
  assuan_set_flag(state_->ctx, ASSUAN_NO_LOGGING, 1);
  assuan_set_pointer(state_->ctx, &state_->deadline);
  assuan_ctx_set_system_hooks(state_->ctx, &g_systemHooks);
  state_->deadline.at = Clock::now() + std::chrono::seconds(kSetupSeconds);
  const std::string name = program_.substr(program_.rfind('/') + 1);
  const char* argv[] = {name.c_str(), nullptr};
  assuan_fd_t keep[] = {STDERR_FILENO, ASSUAN_INVALID_FD};
  err = assuan_pipe_connect(state_->ctx, program_.c_str(), argv, keep, nullptr, nullptr, 0);
  if (err != 0) {
    *why = "the PIN dialog program " + program_ + " did not start as pinentry does (" +
           gpg_strerror(err) + ")";
    assuan_release(state_->ctx);
    state_->ctx = nullptr;
    return false;
  }
  return true;
}

PinAnswer PinDialog::Ask(const std::string& title, const std::string& description,
                         const std::string& prompt, const std::string& error, SecretText* code,
                         std::string* why) {
  code->Clear();
  if (g_abandoned.load()) return PinAnswer::Cancelled;
  if (state_ == nullptr && !Start(why)) return PinAnswer::Failed;
  if (state_->ctx == nullptr) {
    *why = "the PIN dialog program failed earlier";
    return PinAnswer::Failed;
  }
  assuan_context_t ctx = state_->ctx;
  Deadline& deadline = state_->deadline;
  deadline.at = Clock::now() + std::chrono::seconds(kSetupSeconds);
  deadline.expired = false;
  // The settings: a program that does not know one still asks, so only a broken line fails.
  const std::string settings[] = {
      "SETTITLE " + Escaped(title),
      "SETDESC " + Escaped(description),
      "SETPROMPT " + Escaped(prompt),
      error.empty() ? std::string() : "SETERROR " + Escaped(error),
      "SETTIMEOUT " + std::to_string(seconds_),
  };
  for (const std::string& command : settings) {
    if (command.empty()) continue;
    const gpg_error_t err =
        assuan_transact(ctx, command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    const gpg_err_code_t code_ = gpg_err_code(err);
    if (err != 0 &&
        (deadline.expired || code_ == GPG_ERR_ASS_READ_ERROR || code_ == GPG_ERR_ASS_INV_RESPONSE ||
         code_ == GPG_ERR_ASS_WRITE_ERROR || code_ == GPG_ERR_EOF || g_abandoned.load())) {
      if (g_abandoned.load()) return PinAnswer::Cancelled;
      *why = "the PIN dialog program " + program_ +
             (deadline.expired ? " did not answer" : " broke off or answered nonsense");
      assuan_release(ctx);
      state_->ctx = nullptr;
      return PinAnswer::Failed;
    }
  }
  // The question: the program's own timeout closes the dialog; ours is a second later, for a
  // program that ignores it.
  deadline.at = Clock::now() + std::chrono::seconds(seconds_ + 1);
  assuan_begin_confidential(ctx);
  const gpg_error_t err =
      assuan_transact(ctx, "GETPIN", TakeCode, code, nullptr, nullptr, nullptr, nullptr);
  assuan_end_confidential(ctx);
  if (err == 0 && !code->Overlong() && code->Length() == 0) return PinAnswer::Cancelled;
  if (err == 0) return PinAnswer::Given;
  code->Clear();
  const gpg_err_code_t reason = gpg_err_code(err);
  if (reason == GPG_ERR_CANCELED || reason == GPG_ERR_FULLY_CANCELED || reason == GPG_ERR_TIMEOUT ||
      deadline.expired || g_abandoned.load()) {
    // A dialog left unanswered is closed with the program.
    if (deadline.expired || g_abandoned.load()) {
      assuan_release(ctx);
      state_->ctx = nullptr;
    }
    return PinAnswer::Cancelled;
  }
  *why = "the PIN dialog program " + program_ + " failed: " + gpg_strerror(err);
  assuan_release(ctx);
  state_->ctx = nullptr;
  return PinAnswer::Failed;
}

std::string FindPinentry(const std::string& configured) {
  if (!configured.empty()) return configured;
  const char* chosen = std::getenv("QORX_PINENTRY");
  if (chosen != nullptr && *chosen != '\0') return chosen;
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr && *path != '\0' ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t at = 0;
  while (at <= folders.size()) {
    size_t end = folders.find(':', at);
    if (end == std::string::npos) end = folders.size();
    const std::string folder = folders.substr(at, end - at);
    if (!folder.empty() && folder[0] == '/' && Executable(folder + "/pinentry"))
      return folder + "/pinentry";
    at = end + 1;
  }
  return "";
}

void AbandonPinDialogs() noexcept {
  g_abandoned = true;
}

}  // namespace qorx::bridge
