#include "core/Exceptions.h"

#include <gtest/gtest.h>

#include <string>

namespace qorx {
namespace {

TEST(Exceptions, RaiseCarriesCodeUnitLineAndFormattedMessage) {
  int line = 0;
  try {
    line = __LINE__ + 1;
    QORX_RAISEF(sd::kExternal, unit::kSmartCardSlotPCSC, "PCSC: %08lx - %.200s", 0x8010000cUL,
                "SCardTransmit()");
  } catch (const ESDException& e) {
    EXPECT_EQ(e.Code(), 0xC000);
    EXPECT_STREQ(e.File(), "SmartCardSlotPCSC");
    EXPECT_EQ(e.Line(), line);
    EXPECT_STREQ(e.Message(), "PCSC: 8010000c - SCardTransmit()");
  }
}

TEST(Exceptions, ConversionComposesUnitLineAndMessage) {
  EAPSException fromTlv(ESDException(sd::kMalformed, unit::kTLV, 57, ""));
  EXPECT_EQ(fromTlv.Code(), 0x0100);
  EXPECT_EQ(fromTlv.Detail(), 0xC500);
  EXPECT_STREQ(fromTlv.Message().CStr(), "TLV(57) : ");

  EAPSException fromSlot(ESDException(0xF002, unit::kSmartCardSlotPCSC, 3, "x"));
  EXPECT_EQ(fromSlot.Detail(), 0xF002);  // zero-extended, never negative
  EXPECT_STREQ(fromSlot.Message().CStr(), "SmartCardSlotPCSC(3) : x");
}

TEST(Exceptions, LongMessagesAreCutNotOverrun) {
  std::string longText(1500, 'm');
  ESDException e(sd::kLength, unit::kCrypto, 12345, longText.c_str());
  EXPECT_EQ(std::string(e.Message()).size(), 1023u);
  EAPSException converted(e);
  EXPECT_EQ(converted.Message().TextLength(), 1000);
  EXPECT_EQ(std::string(converted.Message().CStr()).rfind("Crypto(12345) : mmm", 0), 0u);
}

TEST(Exceptions, ApplicationStatusCopiesAreDeep) {
  EAPSException a(ESDException(sd::kExternal, unit::kKeySetKeyVault, 1, "RAND_bytes"));
  EAPSException b;
  EXPECT_EQ(b.Code(), 0);
  EXPECT_STREQ(b.Message().CStr(), "");
  b = a;
  EXPECT_EQ(b.Code(), 256);
  EXPECT_EQ(b.Detail(), 0xC000);
  EXPECT_NE(b.Message().Data(), a.Message().Data());
  EXPECT_EQ(b.Message(), a.Message());
  EAPSException c(0x0A02);
  EXPECT_EQ(c.Detail(), 0);
  EXPECT_STREQ(c.Message().CStr(), "");
}

// The numbers callers see: a changed constant must fail here.
TEST(Exceptions, StatusCodeTables) {
  const std::pair<uint16_t, int> framework[] = {
      {sd::kKeySetNotUsable, 257},    {sd::kExternal, 49152},     {sd::kInvalidArgument, 49408},
      {sd::kNoMemory, 49664},         {sd::kFileTooLarge, 49921}, {sd::kFileOpen, 49922},
      {sd::kFileRead, 49923},         {sd::kLength, 50176},       {sd::kMalformed, 50432},
      {sd::kWrongState, 50688},       {sd::kKeyNotFound, 50944},  {sd::kPcscLibraryMissing, 61441},
      {sd::kPcscEntryMissing, 61442},
  };
  for (const auto& [code, value] : framework) EXPECT_EQ(code, value);

  const std::pair<int32_t, int> application[] = {
      {aps::kSuccess, 0},
      {aps::kFrameworkError, 256},
      {aps::kCannotServe, 257},
      {aps::kUnexpected, 258},
      {aps::kInvalidArgument, 259},
      {aps::kCertificateInvalid, 272},
      {aps::kPcscMissing, 512},
      {aps::kPcscIncomplete, 513},
      {aps::kNoReader, 768},
      {aps::kReaderOpenFailed, 769},
      {aps::kFileCannotOpen, 785},
      {aps::kFileTooLarge, 786},
      {aps::kSelectFailed, 1280},
      {aps::kSelectInvalidated, 1281},
      {aps::kDateAfterValidity, 1282},
      {aps::kDateBeforeValidity, 1283},
      {aps::kSecretCodeRejected, 1794},
      {aps::kSecretCodeBlocked, 1795},
      {aps::kReaderIndexOutOfRange, 2306},
      {aps::kReaderAlreadyOpen, 2560},
      {aps::kNoReaderToClose, 2561},
      {aps::kNoReaderOpen, 2562},
      {aps::kNoCard, 2563},
      {aps::kStateCardReady, 2564},
      {aps::kStateCardAuthenticated, 2565},
      {aps::kStateOther, 2566},
      {aps::kMalformedDate, 3072},
      {aps::kCertificateReadFailed, 3328},
  };
  for (const auto& [code, value] : application) EXPECT_EQ(code, value);

  const std::pair<const char*, const char*> units[] = {
      {unit::kObjects, "Objects"},
      {unit::kCrypto, "Crypto"},
      {unit::kBaseServices, "BaseServices"},
      {unit::kTLV, "TLV"},
      {unit::kAPDU, "APDU"},
      {unit::kTerminalAppletServices, "TerminalAppletServices"},
      {unit::kHostAppletService, "HostAppletService"},
      {unit::kKeySetKeyVault, "KeySetKeyVault"},
      {unit::kSmartCardSlotPCSC, "SmartCardSlotPCSC"},
  };
  for (const auto& [name, text] : units) EXPECT_STREQ(name, text);
}

}  // namespace
}  // namespace qorx
