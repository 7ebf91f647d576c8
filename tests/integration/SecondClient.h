#pragma once

// A second PC/SC client beside the library under test, through pcsc-lite itself: whether it
// gets a command to the card tells whether a transaction of ours still holds it.

#include <PCSC/winscard.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "tests/integration/IntegrationSupport.h"

namespace qorx::integration {

// True when a GET RESPONSE of a second client reaches the card within 3 s. pcsc-lite holds it
// back for as long as another handle's transaction is open; `release` (closing the reader
// under test) then runs so that the client can finish.
inline bool OtherClientGetsThrough(const std::function<void()>& release) {
  SCARDCONTEXT context = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
    ADD_FAILURE() << "no PC/SC context";
    return false;
  }
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  LONG rv = SCardConnect(context, kReader, SCARD_SHARE_SHARED,
                         SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
  if (rv != SCARD_S_SUCCESS) {
    SCardReleaseContext(context);
    ADD_FAILURE() << "second client cannot connect: " << std::hex << rv;
    return false;
  }
  std::atomic<bool> done{false};
  std::thread other([&] {
    // GET RESPONSE with nothing pending: any answer will do, it only has to come.
    const BYTE command[] = {0x00, 0xC0, 0x00, 0x00, 0x00};
    BYTE response[258];
    DWORD length = sizeof response;
    const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    SCardTransmit(card, pci, command, sizeof command, nullptr, response, &length);
    done = true;
  });
  const bool through = WaitFor([&] { return done.load(); }, std::chrono::milliseconds(3000));
  if (!through) release();
  other.join();
  SCardDisconnect(card, SCARD_LEAVE_CARD);
  SCardReleaseContext(context);
  return through;
}

}  // namespace qorx::integration
