#include "transport/pcsc/PCSCLibrary.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

#include "core/Exceptions.h"
#include "transport/pcsc/PCSCLibraryState.h"
#include "transport/pcsc/PCSCLoader.h"
#include "transport/pcsc/PCSCTrace.h"

namespace qorx {
namespace pcsc {

namespace detail {
// Deliberately never destroyed: services closed during static destruction (the Java front
// end's process-wide service) still reach the table.
LibraryState& State() {
  static LibraryState* state = new LibraryState();
  return *state;
}
}  // namespace detail

using detail::LibraryState;
using detail::State;

namespace {

template <typename Fn>
void Resolve(void* handle, const char* name, Fn* out) {
  void* symbol = dlsym(handle, name);
  static_assert(sizeof(symbol) == sizeof(*out), "function and object pointers differ in size");
  std::memcpy(out, &symbol, sizeof(*out));
}

bool AllPresent(const Functions& t) {
  return t.Transmit && t.EstablishContext && t.Connect && t.Disconnect && t.ReleaseContext &&
         t.ListReaders && t.Reconnect && t.Control && t.Status && t.GetStatusChange &&
         t.GetAttrib && t.BeginTransaction && t.EndTransaction;
}

}  // namespace

const Functions& Load() {
  LibraryState& s = State();
  if (s.complete.load(std::memory_order_acquire)) return s.table;

  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.handle == nullptr) {
    const char* path = std::getenv(kPCSCLibraryVariable);
    if (path == nullptr || *path == '\0') path = kDefaultPCSCLibrary;
    s.handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (s.handle == nullptr) QORX_RAISE(sd::kPcscLibraryMissing, unit::kSmartCardSlotPCSC);

    Functions t{};
    Resolve(s.handle, "SCardTransmit", &t.Transmit);
    Resolve(s.handle, "SCardEstablishContext", &t.EstablishContext);
    Resolve(s.handle, "SCardConnect", &t.Connect);
    Resolve(s.handle, "SCardDisconnect", &t.Disconnect);
    Resolve(s.handle, "SCardReleaseContext", &t.ReleaseContext);
    Resolve(s.handle, "SCardListReaders", &t.ListReaders);
    Resolve(s.handle, "SCardReconnect", &t.Reconnect);
    Resolve(s.handle, "SCardControl", &t.Control);
    Resolve(s.handle, "SCardStatus", &t.Status);
    Resolve(s.handle, "SCardGetStatusChange", &t.GetStatusChange);
    Resolve(s.handle, "SCardGetAttrib", &t.GetAttrib);
    Resolve(s.handle, "SCardBeginTransaction", &t.BeginTransaction);
    Resolve(s.handle, "SCardEndTransaction", &t.EndTransaction);
    // A partial table is never published: Loaded() stays null and callers cannot reach a
    // missing entry.
    if (AllPresent(t)) {
      s.table = Traced(t);
      s.complete.store(true, std::memory_order_release);
    }
  }
  if (!s.complete.load(std::memory_order_relaxed))
    QORX_RAISE(sd::kPcscEntryMissing, unit::kSmartCardSlotPCSC);
  return s.table;
}

const Functions* Loaded() noexcept {
  LibraryState& s = State();
  return s.complete.load(std::memory_order_acquire) ? &s.table : nullptr;
}

int CheckPCSCResult(LONG code, const char* label, bool raise) {
  if (code == SCARD_S_SUCCESS) return 1;
  if (!raise) return 0;
  // PC/SC result codes are 32-bit values; LONG is wider on 64-bit Linux.
  QORX_RAISEF(sd::kExternal, unit::kSmartCardSlotPCSC, "PCSC: %08lx - %.200s",
              static_cast<unsigned long>(code) & 0xFFFFFFFFUL, label != nullptr ? label : "");
}

}  // namespace pcsc
}  // namespace qorx
