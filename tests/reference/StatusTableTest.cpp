// The core's status lists: every number and public name once per list, and the command line's
// texts taken from them.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "core/StatusCodes.h"
#include "tools/qorx/StatusNames.h"

namespace qorx {
namespace {

template <size_t N>
void ExpectDistinct(const status::Entry (&table)[N]) {
  std::set<int32_t> values;
  std::set<std::string> constants;
  for (const status::Entry& e : table) {
    SCOPED_TRACE(e.constant);
    EXPECT_TRUE(values.insert(e.value).second) << "number listed twice";
    EXPECT_TRUE(constants.insert(e.constant).second) << "name listed twice";
    EXPECT_NE(*e.message, '\0');
  }
}

TEST(StatusTable, EachNumberAndNameOnce) {
  ExpectDistinct(status::kApplication);
  ExpectDistinct(status::kFramework);
}

TEST(StatusTable, CommandLineSaysWhatTheTableSays) {
  for (const status::Entry& e : status::kApplication)
    EXPECT_STREQ(cli::ApplicationStatusName(e.value), e.message) << e.constant;
  for (const status::Entry& e : status::kFramework)
    EXPECT_STREQ(cli::FrameworkCodeName(static_cast<uint16_t>(e.value)), e.message) << e.constant;
  // Shared numbers keep their own meaning in each list; unknown numbers have none.
  EXPECT_STREQ(cli::ApplicationStatusName(0x0101), "request cannot be served");
  EXPECT_STREQ(cli::FrameworkCodeName(0x0101), "key set not usable");
  EXPECT_EQ(cli::ApplicationStatusName(0x0104), nullptr);
  EXPECT_EQ(cli::FrameworkCodeName(0xC001), nullptr);
}

// Numbers and words that pages, Java programs and support staff already use.
TEST(StatusTable, KnownStatusesKeepTheirNumbersAndWords) {
  const struct {
    int32_t value;
    int32_t constant;
    const char* message;
  } known[] = {
      {1794, aps::kSecretCodeRejected, "secret code rejected"},
      {1795, aps::kSecretCodeBlocked, "secret code blocked"},
      {2563, aps::kNoCard, "no card in the reader"},
      {272, aps::kCertificateInvalid, "card certificate not valid"},
      {1282, aps::kDateAfterValidity, "date on or after the end of the certificate's validity"},
      {785, aps::kFileCannotOpen, "file cannot be opened"},
      {256, aps::kFrameworkError, "framework error"},
  };
  for (const auto& k : known) {
    EXPECT_EQ(k.constant, k.value);
    EXPECT_STREQ(status::ApplicationMessage(k.value), k.message);
  }
  EXPECT_EQ(sd::kExternal, 49152);
  EXPECT_STREQ(status::FrameworkMessage(49152), "an external operation failed");
}

}  // namespace
}  // namespace qorx
