#pragma once

#include "applet/QorTerminalAppletService.h"

namespace qorx {

// The one card service of the Java front end, shared by every Java object of the process.
// It is made at the first native call, not when the library loads, so that loading neither
// waits for nor fails on the PC/SC service; failures to make it reach that call's status.
TQorTerminalAppletService& JavaService();

// Destroys the service (closing its reader if one is open); the next call makes a new one.
// Run when the library is unloaded.
void DestroyJavaService() noexcept;

}  // namespace qorx
