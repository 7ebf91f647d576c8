#pragma once

namespace qorx {

// Set to "stderr" or a file's path, it has every PC/SC call traced (PCSCTrace.h).
constexpr const char* kPCSCTraceVariable = "QORX_TRACE";

// The PC/SC library is loaded on first use and kept for the life of the process. Its file is
// pcsc-lite's client library unless this environment variable names another one (an unusual
// installation, or the fake library of the unit tests).
constexpr const char* kPCSCLibraryVariable = "QORX_PCSC_LIBRARY";
constexpr const char* kDefaultPCSCLibrary = "libpcsclite.so.1";

}  // namespace qorx
