#pragma once

// Private to the PC/SC loader (PCSCLibrary.cpp) and the tests' reset of it.
#include <atomic>
#include <mutex>

#include "transport/pcsc/PCSCLibrary.h"

namespace qorx::pcsc::detail {

struct LibraryState {
  std::mutex mutex;  // serialises loading; reading a complete table needs no lock
  void* handle = nullptr;
  Functions table{};
  std::atomic<bool> complete{false};
};

// The process's one state, never destroyed.
LibraryState& State();

}  // namespace qorx::pcsc::detail
