#include "tools/bridge/CardWatch.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>

#include "applet/QorTerminalAppletService.h"
#include "transport/pcsc/PCSCLibrary.h"

namespace qorx::bridge {

namespace {

using Service = TQorTerminalAppletService;

// The reader-list notification: waiting on it ends when a reader comes or goes.
constexpr char kReaderList[] = "\\\\?PnP?\\Notification";
// Without SCardCancel a wait ends by itself this often, to see whether to stop.
constexpr DWORD kWaitWithoutCancel = 500;
// Between two attempts to reach a PC/SC service that is not there.
constexpr int kRetryMilliseconds = 1000;
// pcsc-lite names a reader in at most 128 bytes; a longer "name" is not one.
constexpr size_t kMaxReaderName = 256;

const ReaderSeen* Find(const std::vector<ReaderSeen>& readers, const std::string& name) {
  for (const ReaderSeen& r : readers)
    if (r.name == name) return &r;
  return nullptr;
}

SCARDCONTEXT AsContext(intptr_t value) {
  return static_cast<SCARDCONTEXT>(value);
}

}  // namespace

int32_t CardStatusOfState(uint32_t state) noexcept {
  if ((state & (SCARD_STATE_UNKNOWN | SCARD_STATE_IGNORE | SCARD_STATE_UNAVAILABLE)) != 0) return 0;
  if ((state & SCARD_STATE_PRESENT) != 0)
    return (state & SCARD_STATE_MUTE) != 0 ? Service::StateCardMute : Service::StateCardReady;
  if ((state & SCARD_STATE_EMPTY) != 0) return Service::StateNoCard;
  return 0;
}

std::vector<CardChange> CompareReaders(const std::vector<ReaderSeen>& before,
                                       const std::vector<ReaderSeen>& after) {
  std::vector<CardChange> changes;
  for (const ReaderSeen& old : before)
    if (Find(after, old.name) == nullptr) changes.push_back({old.name, 0, false, true});
  for (const ReaderSeen& now : after) {
    const ReaderSeen* old = Find(before, now.name);
    if (old == nullptr) {
      changes.push_back({now.name, now.cardStatus, true, false});
    } else if (old->cardStatus != now.cardStatus) {
      changes.push_back({now.name, now.cardStatus, false, false});
    } else if (old->events != now.events && now.cardStatus != Service::StateNoCard &&
               now.cardStatus != 0) {
      // The same status, yet cards came and went: the card there now is another insertion.
      changes.push_back({now.name, Service::StateNoCard, false, false});
      changes.push_back({now.name, now.cardStatus, false, false});
    }
  }
  return changes;
}

CardWatch::~CardWatch() {
  Stop();
}

bool CardWatch::Start() {
  if (thread_.joinable()) return true;
  try {
    pcsc::Load();
  } catch (...) {
    return false;
  }
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    wake_[0] = wake_[1] = -1;
    return false;
  }
  canCancel_ = pcsc::CancelEntry() != nullptr;
  if (Connect()) {
    if (Scan(&known_, &states_))
      following_.store(true, std::memory_order_release);
    else
      Disconnect();
  }
  try {
    thread_ = std::thread(&CardWatch::Run, this);
  } catch (...) {
    following_.store(false, std::memory_order_release);
    Disconnect();
    close(wake_[0]);
    close(wake_[1]);
    wake_[0] = wake_[1] = -1;
    return false;
  }
  return true;
}

void CardWatch::Stop() noexcept {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_.store(true);
      stopping_.notify_all();
    }
    const auto cancel = pcsc::CancelEntry();
    // A cancel that comes before the wait has begun is lost, so it is repeated until the
    // thread has seen the request (a wait without cancel ends by itself soon).
    for (int i = 0; i < 300 && !finished_.load(); ++i) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (contextLive_ && cancel != nullptr) cancel(AsContext(context_));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    thread_.join();
  }
  following_.store(false, std::memory_order_release);
  for (int& fd : wake_) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

std::vector<CardChange> CardWatch::Take(bool* interrupted) {
  char sink[64];
  while (wake_[0] >= 0 && read(wake_[0], sink, sizeof sink) > 0) {
  }
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<CardChange> changes;
  changes.swap(queue_);
  *interrupted = interrupted_;
  interrupted_ = false;
  return changes;
}

bool CardWatch::Connect() noexcept {
  const pcsc::Functions* f = pcsc::Loaded();
  SCARDCONTEXT context = 0;
  if (f == nullptr ||
      f->EstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS)
    return false;
  std::lock_guard<std::mutex> lock(mutex_);
  context_ = static_cast<intptr_t>(context);
  contextLive_ = true;
  return true;
}

void CardWatch::Disconnect() noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!contextLive_) return;
  pcsc::Loaded()->ReleaseContext(AsContext(context_));
  contextLive_ = false;
  context_ = 0;
}

bool CardWatch::Scan(std::vector<ReaderSeen>* seen, std::vector<uint32_t>* states) noexcept {
  const pcsc::Functions* f = pcsc::Loaded();
  const SCARDCONTEXT context = AsContext(context_);
  // The list may change between asking its length and reading it, and a reader named in it
  // may be gone by the time its state is asked: a few tries, then the service is in trouble.
  for (int attempt = 0; attempt < 4; ++attempt) {
    try {
      DWORD length = 0;
      LONG rv = f->ListReaders(context, nullptr, nullptr, &length);
      std::string list;
      if (rv == SCARD_S_SUCCESS) {
        list.resize(length);
        rv = f->ListReaders(context, nullptr, list.data(), &length);
        if (rv == SCARD_E_INSUFFICIENT_BUFFER) continue;
        if (length < list.size()) list.resize(length);
      }
      if (rv == SCARD_E_NO_READERS_AVAILABLE) {
        list.clear();
      } else if (rv != SCARD_S_SUCCESS) {
        return false;
      }
      seen->clear();
      for (size_t at = 0; at < list.size();) {
        const size_t end = list.find('\0', at);
        const size_t stop = end == std::string::npos ? list.size() : end;
        if (stop > at && stop - at <= kMaxReaderName &&
            Find(*seen, list.substr(at, stop - at)) == nullptr)
          seen->push_back({list.substr(at, stop - at), 0, 0});
        at = stop + 1;
      }
      std::vector<SCARD_READERSTATE> query(seen->size());
      for (size_t i = 0; i < query.size(); ++i) {
        query[i] = SCARD_READERSTATE{};
        query[i].szReader = (*seen)[i].name.c_str();
        query[i].dwCurrentState = SCARD_STATE_UNAWARE;
      }
      if (!query.empty()) {
        rv = f->GetStatusChange(context, 0, query.data(), static_cast<DWORD>(query.size()));
        if (rv == SCARD_E_UNKNOWN_READER) continue;
        if (rv != SCARD_S_SUCCESS && rv != SCARD_E_TIMEOUT) return false;
      }
      states->assign(query.size(), 0);
      for (size_t i = 0; i < query.size(); ++i) {
        const uint32_t state = static_cast<uint32_t>(query[i].dwEventState);
        (*seen)[i].cardStatus = CardStatusOfState(state);
        (*seen)[i].events = state >> 16;
        (*states)[i] = state & ~static_cast<uint32_t>(SCARD_STATE_CHANGED);
      }
      return true;
    } catch (...) {
      return false;  // out of memory: as good as a service that does not answer
    }
  }
  return false;
}

void CardWatch::Publish(std::vector<CardChange> changes, bool interrupted) {
  if (changes.empty() && !interrupted) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
      queue_.insert(queue_.end(), changes.begin(), changes.end());
    } catch (...) {
      interrupted = true;  // what was lost is at least told as an interruption
    }
    interrupted_ = interrupted_ || interrupted;
  }
  const char byte = 1;
  // A full pipe wakes the main loop just as well.
  (void)!write(wake_[1], &byte, 1);
}

void CardWatch::Pause(int milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  stopping_.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return stop_.load(); });
}

void CardWatch::Run() noexcept {
  const pcsc::Functions* f = pcsc::Loaded();
  int idle = 0;
  while (!stop_.load()) {
    if (!contextLive_) {
      std::vector<ReaderSeen> seen;
      std::vector<uint32_t> states;
      if (!Connect() || !Scan(&seen, &states)) {
        Disconnect();
        Pause(kRetryMilliseconds);
        continue;
      }
      // The service came (back): what it has now is news to the page.
      Publish(CompareReaders(known_, seen), false);
      known_.swap(seen);
      states_.swap(states);
      following_.store(true, std::memory_order_release);
    }

    std::vector<SCARD_READERSTATE> wait(known_.size() + 1);
    for (size_t i = 0; i < known_.size(); ++i) {
      wait[i] = SCARD_READERSTATE{};
      wait[i].szReader = known_[i].name.c_str();
      wait[i].dwCurrentState = states_[i];
    }
    wait.back() = SCARD_READERSTATE{};
    wait.back().szReader = kReaderList;
    // Newer pcsc-lite compares the count of readers kept in the high half; older ignores it.
    wait.back().dwCurrentState = static_cast<DWORD>(known_.size()) << 16;
    if (stop_.load()) break;
    const LONG rv =
        f->GetStatusChange(AsContext(context_), canCancel_ ? INFINITE : kWaitWithoutCancel,
                           wait.data(), static_cast<DWORD>(wait.size()));
    if (stop_.load()) break;
    if (rv == SCARD_E_TIMEOUT || rv == SCARD_E_CANCELLED) continue;

    bool relist = rv == SCARD_E_UNKNOWN_READER;
    if (rv != SCARD_S_SUCCESS && !relist) {
      // The service went away (stopped, restarted): nothing it said holds any longer.
      following_.store(false, std::memory_order_release);
      Disconnect();
      std::vector<CardChange> gone = CompareReaders(known_, {});
      known_.clear();
      states_.clear();
      Publish(std::move(gone), true);
      Pause(kRetryMilliseconds);
      continue;
    }
    std::vector<ReaderSeen> seen;
    std::vector<uint32_t> states;
    if (!relist) {
      relist = (wait.back().dwEventState & SCARD_STATE_CHANGED) != 0;
      for (size_t i = 0; i < known_.size(); ++i)
        if ((wait[i].dwEventState & (SCARD_STATE_UNKNOWN | SCARD_STATE_IGNORE)) != 0) relist = true;
    }
    if (relist) {
      if (!Scan(&seen, &states)) {
        // Treated at the next wait, which fails the same way if the service is gone.
        Pause(50);
        continue;
      }
    } else {
      seen = known_;
      states.resize(known_.size());
      for (size_t i = 0; i < known_.size(); ++i) {
        const uint32_t state = static_cast<uint32_t>(wait[i].dwEventState);
        seen[i].cardStatus = CardStatusOfState(state);
        seen[i].events = state >> 16;
        states[i] = state & ~static_cast<uint32_t>(SCARD_STATE_CHANGED);
      }
    }
    std::vector<CardChange> changes = CompareReaders(known_, seen);
    known_.swap(seen);
    states_.swap(states);
    if (!changes.empty()) {
      idle = 0;
      Publish(std::move(changes), false);
    } else if (++idle >= 3) {
      // Woken again and again with nothing new (a use of the card changes flags we do not
      // report): no faster than this.
      Pause(50);
    }
  }
  Disconnect();
  finished_.store(true);
}

}  // namespace qorx::bridge
