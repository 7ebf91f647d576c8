// Loading the PC/SC library and listing readers through the slot factory.

#include <PCSC/winscard.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "core/StatusCodes.h"
#include "tests/transport/pcsc/FakePCSC.h"
#include "transport/pcsc/SmartCardSlotPCSC.h"

namespace qorx {
namespace {

using testing::CatchSD;
using testing::Fake;
using testing::UsePCSCLibrary;

const std::string kTwoReaders("Reader A\0Reader B\0", 19);

class PCSCEnumerationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Fake().Loaded());
    UsePCSCLibrary(QORX_FAKE_PCSC_PATH);
    Fake().Reset();
  }
  void TearDown() override { EXPECT_EQ(Fake().OpenContexts(), 0) << "context leaked"; }

  TSDSmartCardSlotPCSCFactory& factory_ = *TSDSmartCardSlotPCSCFactory::Instance();
};

TEST_F(PCSCEnumerationTest, FactoryIsOneProcessWideInstance) {
  EXPECT_EQ(TSDSmartCardSlotPCSCFactory::Instance(), &factory_);
  EXPECT_STREQ(factory_.Name().CStr(), "SmartCardSlot.PCSC");
}

TEST_F(PCSCEnumerationTest, MissingLibraryRaisesF001AndIsRetriedOnTheNextUse) {
  UsePCSCLibrary("/nonexistent/libpcsclite-missing.so.1");
  int size = 0;
  EXPECT_EQ(CatchSD([&] { factory_.EnumerateNames(nullptr, &size); }).code,
            sd::kPcscLibraryMissing);
  std::unique_ptr<TSDSVCSmartCardSlotPCSC> slot(factory_.CreateService("Reader A"));
  EXPECT_EQ(CatchSD([&] { slot->Open(""); }).code, sd::kPcscLibraryMissing);
  EXPECT_EQ(slot->Flags(), 0);

  // Nothing was kept from the failed attempt: naming a loadable file is enough.
  ::setenv(kPCSCLibraryVariable, QORX_FAKE_PCSC_PATH, 1);
  Fake().SetReaders(kTwoReaders);
  EXPECT_EQ(factory_.EnumerateNames(nullptr, &size), 2);
}

TEST_F(PCSCEnumerationTest, MissingEntryPointRaisesF002OnEveryUseAndNeverCallsThrough) {
  UsePCSCLibrary(QORX_FAKE_PCSC_NO_END_PATH);
  int size = 0;
  EXPECT_EQ(CatchSD([&] { factory_.EnumerateNames(nullptr, &size); }).code, sd::kPcscEntryMissing);
  std::unique_ptr<TSDSVCSmartCardSlotPCSC> slot(factory_.CreateService("Reader A"));
  EXPECT_EQ(CatchSD([&] { slot->Open(""); }).code, sd::kPcscEntryMissing);
  EXPECT_EQ(CatchSD([&] { slot->Open(""); }).code, sd::kPcscEntryMissing);
  EXPECT_EQ(slot->Flags(), 0);
  // Actions that need no library still work; the ones that would need it refuse.
  EXPECT_EQ(slot->CardAction(TSDSVCSmartCardSlot::ActionRelease), 1);
  EXPECT_EQ(CatchSD([&] { slot->CardAction(TSDSVCSmartCardSlot::ActionEndTransaction); }).code,
            sd::kWrongState);
}

struct NoReaderCase {
  const char* name;
  long listingResult;
};

TEST_F(PCSCEnumerationTest, NoReadersGiveZeroNamesAndSizeZeroWhateverTheListingReturned) {
  const NoReaderCase cases[] = {
      {"success", SCARD_S_SUCCESS},
      {"no readers available", SCARD_E_NO_READERS_AVAILABLE},
      {"service stopped", SCARD_E_NO_SERVICE},
  };
  for (const NoReaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    Fake().Reset();
    Fake().SetDefaultResult("SCardListReaders", c.listingResult);
    int size = 77;
    char buffer[8] = {'x'};
    EXPECT_EQ(factory_.EnumerateNames(nullptr, &size), 0);
    EXPECT_EQ(size, 0);
    size = sizeof buffer;
    EXPECT_EQ(factory_.EnumerateNames(buffer, &size), 0);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(factory_.StartEnumeration(), 0);
    EXPECT_STREQ(factory_.NextName().CStr(), "");
    EXPECT_EQ(Fake().OpenContexts(), 0);
  }
}

TEST_F(PCSCEnumerationTest, ListsReadersIntoTheCallersBuffer) {
  Fake().SetReaders(kTwoReaders + std::string(1, '\0'));
  int size = 0;
  EXPECT_EQ(factory_.EnumerateNames(nullptr, &size), 2);
  EXPECT_EQ(size, 20);
  char buffer[32];
  std::memset(buffer, 'x', sizeof buffer);
  size = sizeof buffer;
  EXPECT_EQ(factory_.EnumerateNames(buffer, &size), 2);
  EXPECT_EQ(size, 20);
  EXPECT_EQ(std::string(buffer, 20), kTwoReaders + std::string(1, '\0'));
  EXPECT_EQ(buffer[20], 'x');
  EXPECT_EQ(Fake().LastArgument("SCardEstablishContext"),
            static_cast<unsigned long>(SCARD_SCOPE_SYSTEM));
}

TEST_F(PCSCEnumerationTest, NameIterationYieldsEachReaderThenTheEmptyText) {
  Fake().SetReaders(kTwoReaders + std::string(1, '\0'));
  EXPECT_EQ(factory_.StartEnumeration(), 2);
  EXPECT_STREQ(factory_.NextName().CStr(), "Reader A");
  EXPECT_STREQ(factory_.NextName().CStr(), "Reader B");
  EXPECT_STREQ(factory_.NextName().CStr(), "");
  EXPECT_STREQ(factory_.NextName().CStr(), "");
}

TEST_F(PCSCEnumerationTest, ListLargerThanTheCallersBufferRaisesC400AndKeepsItsSize) {
  Fake().SetReaders(kTwoReaders);
  char buffer[10];
  int size = sizeof buffer;
  EXPECT_EQ(CatchSD([&] { factory_.EnumerateNames(buffer, &size); }).code, sd::kLength);
  EXPECT_EQ(size, 10);
}

TEST_F(PCSCEnumerationTest, MalformedListsAreRefusedWithoutReadingPastThem) {
  struct Case {
    const char* name;
    std::string list;
    unsigned long lie;
    uint16_t code;
  };
  const Case cases[] = {
      {"last name without its NUL", std::string("Reader A\0Reader B", 17), 0, sd::kMalformed},
      {"single name without NUL", "Reader", 0, sd::kMalformed},
      {"filled length beyond the buffer", kTwoReaders, 4096, sd::kMalformed},
      {"absurd length", std::string(TSDSmartCardSlotPCSCFactory::kMaxReaderList + 1, 'R'), 0,
       sd::kLength},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fake().Reset();
    Fake().SetReaders(c.list);
    Fake().LieAboutListLength(c.lie);
    int size = 0;
    EXPECT_EQ(CatchSD([&] { factory_.EnumerateNames(nullptr, &size); }).code, c.code);
    EXPECT_EQ(CatchSD([&] { factory_.StartEnumeration(); }).code, c.code);
    EXPECT_STREQ(factory_.NextName().CStr(), "");
    EXPECT_EQ(Fake().OpenContexts(), 0);
  }
}

TEST_F(PCSCEnumerationTest, ListShrinkingBetweenTheTwoCallsIsTakenAsListed) {
  // The second call reports fewer bytes than the first: the names are what it filled in.
  Fake().SetReaders(kTwoReaders);
  Fake().LieAboutListLength(9);  // "Reader A\0"
  int size = 0;
  EXPECT_EQ(factory_.EnumerateNames(nullptr, &size), 1);
  EXPECT_EQ(size, 9);
}

TEST_F(PCSCEnumerationTest, PCSCFailuresCarryCodeAndCallInTheirMessage) {
  struct Case {
    const char* fn;
    long code;
    const char* message;
  };
  const Case cases[] = {
      {"SCardEstablishContext", SCARD_E_NO_SERVICE, "PCSC: 8010001d - SCardEstablishContext()"},
      {"SCardListReaders", SCARD_E_NO_MEMORY, "PCSC: 80100006 - SCardListReaders()"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fn);
    Fake().Reset();
    Fake().SetReaders(kTwoReaders);
    Fake().QueueResult(c.fn, c.code);
    int size = 0;
    testing::Raised raised = CatchSD([&] { factory_.EnumerateNames(nullptr, &size); });
    EXPECT_EQ(raised.code, sd::kExternal);
    EXPECT_EQ(raised.message, c.message);
    EXPECT_EQ(raised.unit, "SmartCardSlotPCSC");
    EXPECT_EQ(Fake().OpenContexts(), 0);
  }
  // A failure of the filling call is reported the same way.
  Fake().Reset();
  Fake().SetReaders(kTwoReaders);
  Fake().QueueResult("SCardListReaders", SCARD_S_SUCCESS);
  Fake().QueueResult("SCardListReaders", SCARD_E_READER_UNAVAILABLE);
  int size = 0;
  EXPECT_EQ(CatchSD([&] { factory_.EnumerateNames(nullptr, &size); }).message,
            "PCSC: 80100017 - SCardListReaders()");
}

}  // namespace
}  // namespace qorx
