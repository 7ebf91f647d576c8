#pragma once

namespace qorx {

// The PC/SC library is loaded on first use and kept for the life of the process. Its file is
// pcsc-lite's client library unless this environment variable names another one (an unusual
// installation, or the fake library of the unit tests).
constexpr const char* kPCSCLibraryVariable = "QORX_PCSC_LIBRARY";
constexpr const char* kDefaultPCSCLibrary = "libpcsclite.so.1";

}  // namespace qorx
