#pragma once

// Every status and framework code with its message, in one place: the constants of
// StatusCodes.h, the command line's texts, the Java class QorXStatus and QorX.Status in qorx.js
// all come from these two lists (qorx-statusgen writes the Java class and the page blocks).
// A row is X(constant, value, message); the public name is the constant's, spelled in
// capitals (kSecretCodeRejected: SECRET_CODE_REJECTED). Support staff quote the messages, so
// reword one only knowingly.

#include <cstddef>
#include <cstdint>

// Application statuses: what the front ends return to their callers.
#define QORX_APPLICATION_STATUSES(X)                                                           \
  X(kSuccess, 0x0000, "success")                                                               \
  X(kFrameworkError, 0x0100, "framework error")                                                \
  X(kCannotServe, 0x0101, "request cannot be served")                                          \
  X(kUnexpected, 0x0102, "unexpected failure")                                                 \
  X(kInvalidArgument, 0x0103, "invalid argument")                                              \
  X(kCertificateInvalid, 0x0110, "card certificate not valid")                                 \
  X(kPcscMissing, 0x0200, "PC/SC library cannot be loaded")                                    \
  X(kPcscIncomplete, 0x0201, "PC/SC library incomplete")                                       \
  X(kNoReader, 0x0300, "no reader present")                                                    \
  X(kReaderOpenFailed, 0x0301, "reader cannot be opened")                                      \
  X(kFileCannotOpen, 0x0311, "file cannot be opened")                                          \
  X(kFileTooLarge, 0x0312, "file too large or unreadable")                                     \
  X(kSelectFailed, 0x0500, "application selection failed")                                     \
  X(kSelectInvalidated, 0x0501, "selected application invalidated")                            \
  X(kDateAfterValidity, 0x0502, "date on or after the end of the certificate's validity")      \
  X(kDateBeforeValidity, 0x0503, "date before the start of the certificate's validity")        \
  X(kSecretCodeRejected, 0x0702, "secret code rejected")                                       \
  X(kSecretCodeBlocked, 0x0703, "secret code blocked")                                         \
  X(kReaderIndexOutOfRange, 0x0902, "reader index out of range")                               \
  X(kReaderAlreadyOpen, 0x0A00, "a reader is already open")                                    \
  X(kNoReaderToClose, 0x0A01, "no reader open")                                                \
  X(kNoReaderOpen, 0x0A02, "no reader open")                                                   \
  X(kNoCard, 0x0A03, "no card in the reader")                                                  \
  X(kStateCardReady, 0x0A04, "card not authenticated")                                         \
  X(kStateCardAuthenticated, 0x0A05, "secret code not verified")                               \
  X(kStateOther, 0x0A06, "card not in the state needed")                                       \
  X(kMalformedDate, 0x0C00, "malformed date")                                                  \
  X(kCertificateReadFailed, 0x0D00, "reading the card's certificate failed")                   \
  /* The browser bridge's PIN dialog: cancelled, closed or left to time out (no card command   \
     was sent), and a page's code refused where the host's policy lets only the dialog ask. */ \
  X(kPinEntryCancelled, 0x0E01, "PIN dialog cancelled or not answered")                        \
  X(kPageCodeRefused, 0x0E02, "a secret code from the page is refused: the PIN dialog asks")

// Framework codes: the detail of a framework error (256), its high byte the failure class.
// They share numbers with the statuses, so they are a list of their own.
#define QORX_FRAMEWORK_CODES(X)                                            \
  X(kKeySetNotUsable, 0x0101, "key set not usable")                        \
  X(kExternal, 0xC000, "an external operation failed")                     \
  X(kInvalidArgument, 0xC100, "invalid argument or unsupported operation") \
  X(kNoMemory, 0xC200, "memory exhausted or object not creatable")         \
  X(kFileTooLarge, 0xC301, "file too large")                               \
  X(kFileOpen, 0xC302, "file cannot be opened")                            \
  X(kFileRead, 0xC303, "file cannot be read")                              \
  X(kLength, 0xC400, "length out of range")                                \
  X(kMalformed, 0xC500, "malformed data")                                  \
  X(kWrongState, 0xC600, "slot not in the needed state")                   \
  X(kKeyNotFound, 0xC700, "key not found")                                 \
  X(kPcscLibraryMissing, 0xF001, "PC/SC library cannot be loaded")         \
  X(kPcscEntryMissing, 0xF002, "a PC/SC entry point is missing")

namespace qorx::status {

struct Entry {
  const char* constant;  // as in StatusCodes.h, "kSecretCodeRejected"
  int32_t value;
  const char* message;
};

#define QORX_STATUS_ENTRY(constant, value, message) Entry{#constant, value, message},
inline constexpr Entry kApplication[] = {QORX_APPLICATION_STATUSES(QORX_STATUS_ENTRY)};
inline constexpr Entry kFramework[] = {QORX_FRAMEWORK_CODES(QORX_STATUS_ENTRY)};
#undef QORX_STATUS_ENTRY

template <size_t N>
constexpr const Entry* Find(const Entry (&table)[N], int32_t value) noexcept {
  for (const Entry& entry : table)
    if (entry.value == value) return &entry;
  return nullptr;
}

// The message of a status or framework code; null for a number the list does not know.
constexpr const char* ApplicationMessage(int32_t status) noexcept {
  const Entry* entry = Find(kApplication, status);
  return entry != nullptr ? entry->message : nullptr;
}
constexpr const char* FrameworkMessage(int32_t code) noexcept {
  const Entry* entry = Find(kFramework, code);
  return entry != nullptr ? entry->message : nullptr;
}

}  // namespace qorx::status
