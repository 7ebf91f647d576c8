#pragma once

#include <cstdint>

namespace qorx {

// Framework failure codes carried by ESDException. The high byte is the failure class.
namespace sd {
constexpr uint16_t kKeySetNotUsable = 0x0101;
constexpr uint16_t kExternal = 0xC000;
constexpr uint16_t kInvalidArgument = 0xC100;
constexpr uint16_t kNoMemory = 0xC200;
constexpr uint16_t kFileTooLarge = 0xC301;
constexpr uint16_t kFileOpen = 0xC302;
constexpr uint16_t kFileRead = 0xC303;
constexpr uint16_t kLength = 0xC400;
constexpr uint16_t kMalformed = 0xC500;
constexpr uint16_t kWrongState = 0xC600;
constexpr uint16_t kKeyNotFound = 0xC700;
constexpr uint16_t kPcscLibraryMissing = 0xF001;
constexpr uint16_t kPcscEntryMissing = 0xF002;
}  // namespace sd

// Application status codes carried by EAPSException: what callers of both front ends see.
namespace aps {
constexpr int32_t kSuccess = 0x0000;
constexpr int32_t kFrameworkError = 0x0100;
constexpr int32_t kCannotServe = 0x0101;
constexpr int32_t kUnexpected = 0x0102;
constexpr int32_t kInvalidArgument = 0x0103;
constexpr int32_t kCertificateInvalid = 0x0110;
constexpr int32_t kPcscMissing = 0x0200;
constexpr int32_t kPcscIncomplete = 0x0201;
constexpr int32_t kNoReader = 0x0300;
constexpr int32_t kReaderOpenFailed = 0x0301;
constexpr int32_t kFileCannotOpen = 0x0311;
constexpr int32_t kFileTooLarge = 0x0312;
constexpr int32_t kSelectFailed = 0x0500;
constexpr int32_t kSelectInvalidated = 0x0501;
constexpr int32_t kDateAfterValidity = 0x0502;
constexpr int32_t kDateBeforeValidity = 0x0503;
constexpr int32_t kSecretCodeRejected = 0x0702;
constexpr int32_t kSecretCodeBlocked = 0x0703;
constexpr int32_t kReaderIndexOutOfRange = 0x0902;
constexpr int32_t kReaderAlreadyOpen = 0x0A00;
constexpr int32_t kNoReaderToClose = 0x0A01;
constexpr int32_t kNoReaderOpen = 0x0A02;
constexpr int32_t kNoCard = 0x0A03;
constexpr int32_t kStateCardReady = 0x0A04;
constexpr int32_t kStateCardAuthenticated = 0x0A05;
constexpr int32_t kStateOther = 0x0A06;
constexpr int32_t kMalformedDate = 0x0C00;
constexpr int32_t kCertificateReadFailed = 0x0D00;
// The browser bridge's PIN dialog: the customer cancelled it, closed it or let it wait out its
// time; no card command was sent. And a code a page gave where the host's policy has only the
// dialog ask.
constexpr int32_t kPinEntryCancelled = 0x0E01;
constexpr int32_t kPageCodeRefused = 0x0E02;
}  // namespace aps

// Source unit names that raise points report; callers see them in "%s(%d) : %s" texts.
namespace unit {
constexpr const char* kObjects = "Objects";
constexpr const char* kCrypto = "Crypto";
constexpr const char* kBaseServices = "BaseServices";
constexpr const char* kTLV = "TLV";
constexpr const char* kAPDU = "APDU";
constexpr const char* kTerminalAppletServices = "TerminalAppletServices";
constexpr const char* kHostAppletService = "HostAppletService";
constexpr const char* kKeySetKeyVault = "KeySetKeyVault";
constexpr const char* kSmartCardSlotPCSC = "SmartCardSlotPCSC";
}  // namespace unit

}  // namespace qorx
