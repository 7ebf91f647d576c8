#pragma once

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

#include "tools/cardsim/Card.h"
#include "tools/cardsim/Options.h"
#include "tools/cardsim/Sockets.h"

namespace qorx::cardsim {

// The simulator process: keeps the card in the reader (reconnecting when pcscd goes away and
// comes back), answers the reader, and takes control commands.
class Simulator {
 public:
  explicit Simulator(SimOptions options);
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;
  ~Simulator();

  // Opens the log and the control socket; false with a message when one cannot be had.
  bool Start(std::string* error);
  // Serves until `quit` or `stopFlag` becomes non-zero (set from a signal handler).
  void Run(const volatile int& stopFlag);
  // One control command; the reply starts with "ok" or "error".
  std::string Execute(const std::string& line);

 private:
  using Clock = std::chrono::steady_clock;

  void TryConnect();
  void Disconnect(const char* why);
  void StartRemoval();
  bool ServeRemoval(const Bytes& message);
  void ServeReader();
  void ServeStdin();
  void Log(const std::string& line);

  SimOptions options_;
  Card card_;
  ReaderLink link_;
  FrameDecoder decoder_;
  ControlServer control_;
  FILE* log_ = nullptr;
  bool ownsLog_ = false;
  bool inserted_ = true;
  std::optional<Clock::time_point> removingSince_;  // card on its way out
  bool removalAfterPowerUp_ = false;
  unsigned long removeAfter_ = 0;  // commands still answered before the card leaves; 0 = off
  bool quit_ = false;
  bool waitingLogged_ = false;
  // "ready" once the reader has powered the card up since it went in.
  uint64_t powerUpsAtInsert_ = 0;
  Clock::time_point nextAttempt_;
  std::string stdinBuffer_;
};

}  // namespace qorx::cardsim
