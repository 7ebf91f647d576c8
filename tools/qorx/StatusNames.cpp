#include "tools/qorx/StatusNames.h"

#include <cstddef>

#include "core/StatusCodes.h"

namespace qorx::cli {

namespace {

struct Name {
  int32_t code;
  const char* text;
};

constexpr Name kApplication[] = {
    {aps::kSuccess, "success"},
    {aps::kFrameworkError, "framework error"},
    {aps::kCannotServe, "request cannot be served"},
    {aps::kUnexpected, "unexpected failure"},
    {aps::kInvalidArgument, "invalid argument"},
    {aps::kCertificateInvalid, "card certificate not valid"},
    {aps::kPcscMissing, "PC/SC library cannot be loaded"},
    {aps::kPcscIncomplete, "PC/SC library incomplete"},
    {aps::kNoReader, "no reader present"},
    {aps::kReaderOpenFailed, "reader cannot be opened"},
    {aps::kFileCannotOpen, "file cannot be opened"},
    {aps::kFileTooLarge, "file too large or unreadable"},
    {aps::kSelectFailed, "application selection failed"},
    {aps::kSelectInvalidated, "selected application invalidated"},
    {aps::kDateAfterValidity, "date on or after the end of the certificate's validity"},
    {aps::kDateBeforeValidity, "date before the start of the certificate's validity"},
    {aps::kSecretCodeRejected, "secret code rejected"},
    {aps::kSecretCodeBlocked, "secret code blocked"},
    {aps::kReaderIndexOutOfRange, "reader index out of range"},
    {aps::kReaderAlreadyOpen, "a reader is already open"},
    {aps::kNoReaderToClose, "no reader open"},
    {aps::kNoReaderOpen, "no reader open"},
    {aps::kNoCard, "no card in the reader"},
    {aps::kStateCardReady, "card not authenticated"},
    {aps::kStateCardAuthenticated, "secret code not verified"},
    {aps::kStateOther, "card not in the state needed"},
    {aps::kMalformedDate, "malformed date"},
    {aps::kCertificateReadFailed, "reading the card's certificate failed"},
};

constexpr Name kFramework[] = {
    {sd::kKeySetNotUsable, "key set not usable"},
    {sd::kExternal, "an external operation failed"},
    {sd::kInvalidArgument, "invalid argument or unsupported operation"},
    {sd::kNoMemory, "memory exhausted or object not creatable"},
    {sd::kFileTooLarge, "file too large"},
    {sd::kFileOpen, "file cannot be opened"},
    {sd::kFileRead, "file cannot be read"},
    {sd::kLength, "length out of range"},
    {sd::kMalformed, "malformed data"},
    {sd::kWrongState, "slot not in the needed state"},
    {sd::kKeyNotFound, "key not found"},
    {sd::kPcscLibraryMissing, "PC/SC library cannot be loaded"},
    {sd::kPcscEntryMissing, "a PC/SC entry point is missing"},
};

template <size_t N>
const char* Find(const Name (&table)[N], int32_t code) noexcept {
  for (const Name& name : table)
    if (name.code == code) return name.text;
  return nullptr;
}

}  // namespace

const char* ApplicationStatusName(int32_t status) noexcept {
  return Find(kApplication, status);
}
const char* FrameworkCodeName(uint16_t code) noexcept {
  return Find(kFramework, code);
}

}  // namespace qorx::cli
