#pragma once

// How the PC/SC slot and its factory read pcsc-lite's results, and how they wait while another
// application holds the card. Private to them (SmartCardSlotPCSC*.cpp).
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "transport/pcsc/PCSCLibrary.h"
#include "transport/pcsc/SmartCardSlotPCSC.h"

namespace qorx::pcsc {

// Results by which pcsc-lite says the card behind a handle is no longer the one connected.
inline bool MeansCardGone(LONG rv) {
  switch (static_cast<uint32_t>(rv)) {
    case static_cast<uint32_t>(SCARD_W_REMOVED_CARD):
    case static_cast<uint32_t>(SCARD_W_RESET_CARD):
    case static_cast<uint32_t>(SCARD_E_NO_SMARTCARD):
    case static_cast<uint32_t>(SCARD_W_UNPOWERED_CARD):
    case static_cast<uint32_t>(SCARD_W_UNRESPONSIVE_CARD):
    case static_cast<uint32_t>(SCARD_E_READER_UNAVAILABLE):
      return true;
    default:
      return false;
  }
}

// Results by which pcsc-lite says the service went away (stopped, restarted) or no longer
// knows our context or handle: nothing more can be done through them.
inline bool MeansServiceGone(LONG rv) {
  switch (static_cast<uint32_t>(rv)) {
    case static_cast<uint32_t>(SCARD_E_NO_SERVICE):
    case static_cast<uint32_t>(SCARD_E_SERVICE_STOPPED):
    case static_cast<uint32_t>(SCARD_E_INVALID_HANDLE):
    case static_cast<uint32_t>(SCARD_E_READER_UNAVAILABLE):
    case static_cast<uint32_t>(SCARD_F_COMM_ERROR):
      return true;
    default:
      return false;
  }
}

// pcsc-lite's client waits without any bound while another application holds a transaction
// on the card: it asks pcscd again every PCSCLITE_LOCK_POLL_RATE until the other lets go.
// With PCSCLITE_NO_BLOCKING set when the process makes its first context, SCardTransmit,
// SCardStatus and SCardReconnect answer SCARD_E_SHARING_VIOLATION at once instead, and
// WhileShared below does the waiting, bounded. SCardBeginTransaction ignores the setting
// (pcsc-lite 1.9): that is why every card operation asks SCardStatus first, and begins its
// transaction only once the card is not held. A value the environment already has is kept.
inline void AskPCSCNotToWait() {
  static std::once_flag once;
  std::call_once(once, [] { ::setenv("PCSCLITE_NO_BLOCKING", "1", 0); });
}

template <typename Call>
inline LONG WhileShared(Call&& call) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end =
      Clock::now() + std::chrono::milliseconds(TSDSVCSmartCardSlotPCSC::kSharingWaitMs);
  for (;;) {
    const LONG rv = call();
    if (static_cast<uint32_t>(rv) != static_cast<uint32_t>(SCARD_E_SHARING_VIOLATION) ||
        Clock::now() >= end)
      return rv;
    std::this_thread::sleep_for(std::chrono::milliseconds(TSDSVCSmartCardSlotPCSC::kSharingPollMs));
  }
}

inline bool IsSharingViolation(LONG rv) {
  return static_cast<uint32_t>(rv) == static_cast<uint32_t>(SCARD_E_SHARING_VIOLATION);
}

}  // namespace qorx::pcsc
