#pragma once

// The readers as a page follows them: a thread of its own waits in SCardGetStatusChange, on a
// PC/SC context of its own, for cards and readers to come and go (the reader-list
// notification among the readers waited on). It never connects to a card, so it cannot
// disturb an operation under way; what it sees waits in a queue whose descriptor the host's
// main loop watches beside its input.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qorx::bridge {

// One reader at one wake: the card status the control would report for it (1026 card present,
// 1027 card mute, 1028 no card, 0 reader unusable) and PC/SC's count of card events in it, by
// which a card taken out and put back between two wakes still shows.
struct ReaderSeen {
  std::string name;
  int32_t cardStatus = 0;
  uint32_t events = 0;
};

// What a page is told: a reader's new card status, or a reader that came (with the status of
// what is in it) or went (status 0).
struct CardChange {
  std::string reader;
  int32_t cardStatus = 0;
  bool readerAdded = false;
  bool readerRemoved = false;
};

// The card status of a reader state as SCardGetStatusChange reports it.
int32_t CardStatusOfState(uint32_t eventState) noexcept;

// What changed from `before` to `after`: readers gone first, then each reader's card in the
// order of `after`, a card swapped in between told as its removal and the new card.
std::vector<CardChange> CompareReaders(const std::vector<ReaderSeen>& before,
                                       const std::vector<ReaderSeen>& after);

class CardWatch {
 public:
  CardWatch() = default;
  ~CardWatch();  // stops the thread
  CardWatch(const CardWatch&) = delete;
  CardWatch& operator=(const CardWatch&) = delete;

  // Loads PC/SC and starts following the readers. When the service answers, the readers'
  // states are read before this returns, so every change after it is told; when it does not,
  // the thread keeps asking, and the readers it then finds are told as readers added. False
  // (and no thread) when the PC/SC library cannot be loaded or no descriptor can be made.
  bool Start();
  void Stop() noexcept;

  // True while every change reaches the queue; false before the service first answered and
  // after it went away (the readers known were told as removed then).
  bool Following() const noexcept { return following_.load(std::memory_order_acquire); }
  // Readable while changes wait in the queue; -1 before Start.
  int Descriptor() const noexcept { return wake_[0]; }
  // The changes queued since the last call. `*interrupted` when following stopped meanwhile.
  std::vector<CardChange> Take(bool* interrupted);

 private:
  bool Connect() noexcept;
  void Disconnect() noexcept;
  bool Scan(std::vector<ReaderSeen>* seen, std::vector<uint32_t>* states) noexcept;
  void Run() noexcept;
  void Publish(std::vector<CardChange> changes, bool interrupted);
  void Pause(int milliseconds);

  std::thread thread_;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stop_{false};
  std::atomic<bool> following_{false};
  std::atomic<bool> finished_{false};
  bool canCancel_ = false;  // the library has SCardCancel: waits need no time limit

  std::mutex mutex_;  // guards the fields below
  std::condition_variable stopping_;
  intptr_t context_ = 0;  // an SCARDCONTEXT, 0 when none
  bool contextLive_ = false;
  std::vector<CardChange> queue_;
  bool interrupted_ = false;

  // The thread's own.
  std::vector<ReaderSeen> known_;
  std::vector<uint32_t> states_;  // the last state seen of each reader of known_
};

}  // namespace qorx::bridge
