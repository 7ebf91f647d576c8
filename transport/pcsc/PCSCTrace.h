#pragma once

// The trace log for support: with QORX_TRACE set to "stderr" or to a file's path (appended to),
// every PC/SC call writes one line: the time, how long the call took, the function, the
// reader, what went in and came back, and the result. An APDU's line has the command and the
// response with its status word. Whatever may carry a PIN, a password or key material is
// written as its length only:
// - the data of VERIFY, CHANGE REFERENCE DATA, RESET RETRY COUNTER, ENABLE and DISABLE
//   VERIFICATION REQUIREMENT, EXTERNAL, MUTUAL and GENERAL AUTHENTICATE, PERFORM SECURITY
//   OPERATION, ENVELOPE, GENERATE ASYMMETRIC KEY PAIR, PUT KEY, PUT DATA and STORE DATA;
// - the data of every command sent under secure messaging (the bank host's script commands);
// - the response data of those commands, and what GET RESPONSE fetches after them;
// - what goes through SCardControl (reader escape commands, PIN pads).
// Without QORX_TRACE the loader keeps the library's own entry points: no wrapper, no cost.

#include <cstddef>
#include <cstdint>
#include <string>

#include "transport/pcsc/PCSCLibrary.h"
#include "transport/pcsc/PCSCLoader.h"

namespace qorx::pcsc {

// `real` itself when QORX_TRACE is unset or empty, or when its file cannot be opened (said
// once on standard error); otherwise a table whose entries write the trace around `real`'s.
Functions Traced(const Functions& real);

// How a command or response reads in the trace: hexadecimal bytes, a withheld part as
// "[N bytes]". `secret` says whether the command's data (and its answer's) is withheld.
bool CommandIsSecret(const uint8_t* apdu, size_t length) noexcept;
std::string DescribeCommand(const uint8_t* apdu, size_t length, bool secret);
std::string DescribeResponse(const uint8_t* response, size_t length, bool secret);

}  // namespace qorx::pcsc
