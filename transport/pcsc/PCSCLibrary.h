#pragma once

// Private to the PC/SC slot: the one seam between this library and the platform's PC/SC
// client. pcsc-lite's header is used for its types and constants only; nothing links it.
#include <PCSC/winscard.h>

namespace qorx::pcsc {

// The entry points the slot uses, looked up by name in this order; all are required.
struct Functions {
  decltype(&::SCardTransmit) Transmit;
  decltype(&::SCardEstablishContext) EstablishContext;
  decltype(&::SCardConnect) Connect;
  decltype(&::SCardDisconnect) Disconnect;
  decltype(&::SCardReleaseContext) ReleaseContext;
  decltype(&::SCardListReaders) ListReaders;
  decltype(&::SCardReconnect) Reconnect;
  decltype(&::SCardControl) Control;
  decltype(&::SCardStatus) Status;
  decltype(&::SCardGetStatusChange) GetStatusChange;
  decltype(&::SCardGetAttrib) GetAttrib;  // required, though the slot never calls it
  decltype(&::SCardBeginTransaction) BeginTransaction;
  decltype(&::SCardEndTransaction) EndTransaction;
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
