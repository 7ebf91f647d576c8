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
#define QORX_PCSC_PRESENT(name) &&t.name != nullptr
  return true QORX_PCSC_ENTRIES(QORX_PCSC_PRESENT);
#undef QORX_PCSC_PRESENT
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
#define QORX_PCSC_RESOLVE(name) Resolve(s.handle, "SCard" #name, &t.name);
    QORX_PCSC_ENTRIES(QORX_PCSC_RESOLVE)
#undef QORX_PCSC_RESOLVE
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

decltype(&::SCardCancel) CancelEntry() noexcept {
  LibraryState& s = State();
  if (!s.complete.load(std::memory_order_acquire)) return nullptr;
  std::lock_guard<std::mutex> lock(s.mutex);
  decltype(&::SCardCancel) cancel = nullptr;
  if (s.handle != nullptr) Resolve(s.handle, "SCardCancel", &cancel);
  return cancel;
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
