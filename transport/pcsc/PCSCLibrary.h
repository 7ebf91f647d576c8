#pragma once

// Private to the PC/SC slot: the one seam between this library and the platform's PC/SC
// client. pcsc-lite's header is used for its types and constants only; nothing links it.
#include <PCSC/winscard.h>

namespace qorx::pcsc {

// The entry points the slot uses, looked up by name in this order; all are required.
// The entry points the slot needs, each named as pcsc-lite names it after "SCard". Every one
// is required (GetAttrib too, though the slot never calls it).
#define QORX_PCSC_ENTRIES(X)                                                                 \
  X(Transmit)                                                                                \
  X(EstablishContext) X(Connect) X(Disconnect) X(ReleaseContext) X(ListReaders) X(Reconnect) \
      X(Control) X(Status) X(GetStatusChange) X(GetAttrib) X(BeginTransaction) X(EndTransaction)

struct Functions {
#define QORX_PCSC_MEMBER(name) decltype(&::SCard##name) name;
  QORX_PCSC_ENTRIES(QORX_PCSC_MEMBER)
#undef QORX_PCSC_MEMBER
};

// The complete table, loading the library on first use. Raises 0xF001 when the library
// cannot be loaded (the next call tries again) and 0xF002 when an entry point is missing
// (the library stays loaded and every later call raises 0xF002 again, so nothing ever
// calls through a missing entry).
const Functions& Load();

// The complete table if it was loaded, else null. Never loads, never raises.
const Functions* Loaded() noexcept;

// SCardCancel of the loaded library, or null (not loaded yet, or the library lacks it). The
// slot never needs it; a caller's own thread waiting in SCardGetStatusChange is woken with it.
decltype(&::SCardCancel) CancelEntry() noexcept;

// 1 for SCARD_S_SUCCESS. Otherwise 0, or, with `raise`, ESDException 0xC000 with the
// message "PCSC: <code as 8 hex digits> - <label>".
int CheckPCSCResult(LONG code, const char* label, bool raise);

}  // namespace qorx::pcsc
