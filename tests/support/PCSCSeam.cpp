// Unloads the PC/SC library the slot loaded (transport/pcsc/PCSCLibrary.cpp).
#include <dlfcn.h>

#include "tests/support/Seams.h"
#include "transport/pcsc/PCSCLibraryState.h"

namespace qorx {

void ResetPCSCLibraryForTesting() noexcept {
  pcsc::detail::LibraryState& s = pcsc::detail::State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.complete.store(false, std::memory_order_release);
  s.table = pcsc::Functions{};
  if (s.handle != nullptr) dlclose(s.handle);
  s.handle = nullptr;
}

}  // namespace qorx
