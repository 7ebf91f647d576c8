#include "tools/cardsim/Simulator.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

namespace qorx::cardsim {

namespace {

// How often a card that is in the reader retries while the reader side is down.
constexpr std::chrono::milliseconds kRetry{100};
// A removal waits for the reader's next presence poll (pcscd polls every 400 ms); without a
// reader on the other side it gives up waiting after this.
constexpr std::chrono::milliseconds kRemovalTimeout{2000};

}  // namespace

Simulator::Simulator(SimOptions options)
    : options_(std::move(options)),
      card_(options_.card),
      inserted_(!options_.startRemoved),
      removeAfter_(options_.removeAfter) {
  card_.SetLog([this](const std::string& line) { Log(line); });
}

Simulator::~Simulator() {
  link_.Close();
  if (ownsLog_ && log_ != nullptr) fclose(log_);
}

bool Simulator::Start(std::string* error) {
  if (options_.log == "-") {
    log_ = stderr;
  } else if (!options_.log.empty()) {
    log_ = fopen(options_.log.c_str(), "a");
    if (log_ == nullptr) {
      *error = "cannot open log " + options_.log;
      return false;
    }
    ownsLog_ = true;
  }
  if (!options_.card.profile) {
    // Read once here, so that a missing default profile stops the start with its reason.
    options_.card.profile = CardProfile::Load("default", error);
    if (!options_.card.profile) return false;
    card_.Config().profile = options_.card.profile;
  }
  if (!options_.control.empty() && !control_.Listen(options_.control, error)) return false;
  nextAttempt_ = Clock::now();
  return true;
}

void Simulator::Log(const std::string& line) {
  if (log_ == nullptr) return;
  fprintf(log_, "%s\n", line.c_str());
  fflush(log_);  // tests read the log while we run
}

void Simulator::TryConnect() {
  std::string error;
  if (link_.Connect(options_.host, options_.port, &error)) {
    decoder_.Clear();
    card_.ResetToUnpowered();
    powerUpsAtInsert_ = card_.PowerUps();
    waitingLogged_ = false;
    Log("# inserted into " + options_.host + ":" + std::to_string(options_.port));
    return;
  }
  if (!waitingLogged_) Log("# waiting for the reader: " + error);
  waitingLogged_ = true;
  nextAttempt_ = Clock::now() + kRetry;
}

void Simulator::Disconnect(const char* why) {
  removingSince_.reset();
  if (!link_.Connected()) return;
  link_.Close();
  decoder_.Clear();
  card_.ResetToUnpowered();
  Log(std::string("# ") + why);
  nextAttempt_ = Clock::now() + kRetry;
}

void Simulator::StartRemoval() {
  inserted_ = false;
  if (!link_.Connected() || removingSince_) return;
  removingSince_ = Clock::now();
  removalAfterPowerUp_ = false;
  Log("# removing");
}

// Simply hanging up is not enough: if the driver finds the socket closed while powering the
// card down, it picks up our next connection at the following presence poll and pcscd never
// sees the card go. So the card stays on the line until the driver polls for presence (an
// ATR request not right after a power-up), answers with an empty ATR, which the driver
// reports as an empty slot, and only then hangs up.
bool Simulator::ServeRemoval(const Bytes& message) {
  if (card_.Config().logControls) Log("# while removing: " + ToHex(message));
  const bool afterPowerUp = removalAfterPowerUp_;
  removalAfterPowerUp_ = message.size() == 1 && (message[0] == 1 || message[0] == 2);
  if (message.size() == 1 && message[0] == 4) {
    if (!link_.Send(Bytes{}) || !afterPowerUp) {
      Disconnect("removed");
      return false;
    }
    return true;
  }
  if (message.size() == 1) return true;  // power changes need no answer
  Disconnect("removed during a command");
  return false;
}

void Simulator::ServeReader() {
  if (!link_.Receive(decoder_)) {
    Disconnect(removingSince_ ? "removed" : "reader went away");
    return;
  }
  Bytes message;
  while (decoder_.Next(&message)) {
    if (removingSince_) {
      if (!ServeRemoval(message)) return;
      continue;
    }
    std::optional<Bytes> reply = card_.OnReaderMessage(message);
    if (reply && !link_.Send(*reply)) {
      Disconnect("reader went away");
      return;
    }
    // The card leaves right after answering: the operation it belonged to is cut off at its
    // next command.
    if (message.size() > 1 && removeAfter_ > 0 && --removeAfter_ == 0) {
      Log("# leaving after the counted commands");
      StartRemoval();
    }
  }
}

std::string Simulator::Execute(const std::string& line) {
  std::istringstream in(line);
  std::string name, value;
  in >> name;
  std::getline(in, value);
  size_t start = value.find_first_not_of(" \t");
  value = start == std::string::npos ? "" : value.substr(start);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\r')) value.pop_back();

  if (name == "insert") {
    if (removingSince_) {
      inserted_ = true;  // goes back in once the reader has seen it out
      return "ok after the removal";
    }
    if (!inserted_) {
      inserted_ = true;
      TryConnect();
    }
    return link_.Connected() ? "ok inserted" : "ok waiting for the reader";
  }
  if (name == "remove") {
    StartRemoval();
    return "ok";
  }
  if (name == "status") {
    std::ostringstream out;
    const bool connected = link_.Connected() && !removingSince_;
    out << "ok inserted=" << inserted_ << " connected=" << connected
        << " removing=" << removingSince_.has_value()
        << " ready=" << (connected && card_.PowerUps() > powerUpsAtInsert_)
        << " powered=" << card_.Powered()
        << " protocol=" << (card_.Config().protocol == Protocol::kT0 ? "t0" : "t1")
        << " mute=" << card_.Config().mute << " commands=" << card_.CommandCount()
        << " powerups=" << card_.PowerUps() << " tries=" << card_.Data().triesLeft
        << " verified=" << card_.Session().verified
        << " profile=" << (card_.Profile() ? card_.Profile()->Name() : "-");
    return out.str();
  }
  if (name == "count") {
    if (value.empty()) return "ok " + std::to_string(card_.CommandCount());
    Bytes ins;
    if (!ParseHex(value, &ins) || ins.size() != 1) return "error count takes one INS byte";
    return "ok " + std::to_string(card_.CommandCount(ins[0]));
  }
  if (name == "remove-after") {
    if (!ParseRemoveAfter(value, &removeAfter_)) return "error bad value for remove-after";
    return "ok";
  }
  if (name == "reset-counts") {
    card_.ResetCounts();
    return "ok";
  }
  if (name == "defaults") {
    card_.Config() = options_.card;
    removeAfter_ = options_.removeAfter;
    card_.RestoreCardData();
    return "ok";
  }
  if (name == "quit") {
    quit_ = true;
    return "ok";
  }
  if (name.empty()) return "error empty command";
  std::string error;
  if (!ApplyCardOption(card_.Config(), name, value, !value.empty(), &error)) {
    return "error " + error;
  }
  if (name == "pin") card_.RestorePin();
  if (name == "tries") card_.RestoreTries();
  Log("# " + (line.size() > 200 ? line.substr(0, 200) + "..." : line));
  return "ok";
}

void Simulator::ServeStdin() {
  char buffer[512];
  ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
  if (n <= 0) {
    options_.readStdin = false;  // end of input: keep serving the reader
    return;
  }
  stdinBuffer_.append(buffer, static_cast<size_t>(n));
  size_t eol;
  while ((eol = stdinBuffer_.find('\n')) != std::string::npos) {
    std::string line = stdinBuffer_.substr(0, eol);
    stdinBuffer_.erase(0, eol + 1);
    printf("%s\n", Execute(line).c_str());
    fflush(stdout);
  }
}

void Simulator::Run(const volatile int& stopFlag) {
  while (!quit_ && !stopFlag) {
    if (removingSince_ && Clock::now() - *removingSince_ > kRemovalTimeout) {
      Disconnect("removed (the reader did not poll)");
    }
    if (inserted_ && !link_.Connected() && Clock::now() >= nextAttempt_) TryConnect();

    pollfd fds[3];
    nfds_t count = 0;
    int readerIndex = -1, controlIndex = -1, stdinIndex = -1;
    if (link_.Connected()) {
      readerIndex = static_cast<int>(count);
      fds[count++] = pollfd{link_.Fd(), POLLIN, 0};
    }
    if (control_.Fd() >= 0) {
      controlIndex = static_cast<int>(count);
      fds[count++] = pollfd{control_.Fd(), POLLIN, 0};
    }
    if (options_.readStdin) {
      stdinIndex = static_cast<int>(count);
      fds[count++] = pollfd{STDIN_FILENO, POLLIN, 0};
    }
    // Bounded so that a stop signal arriving just before poll() is seen soon.
    int timeout = inserted_ && !link_.Connected() ? static_cast<int>(kRetry.count()) : 200;
    int ready = poll(fds, count, timeout);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    if (readerIndex >= 0 && fds[readerIndex].revents != 0) ServeReader();
    if (controlIndex >= 0 && (fds[controlIndex].revents & POLLIN)) {
      control_.ServeOne([this](const std::string& line) { return Execute(line); });
    }
    if (stdinIndex >= 0 && fds[stdinIndex].revents != 0) ServeStdin();
  }
}

}  // namespace qorx::cardsim
