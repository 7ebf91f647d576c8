// The results every front end hands out are shaped here; these are the shapes a front end
// cannot check for itself.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "bindings/Operations.h"
#include "core/Exceptions.h"
#include "core/StatusCodes.h"

namespace qorx {
namespace {

TEST(Operations, IdentityTakesPanAndSequenceFromTheSerial) {
  const struct {
    const char* serialHex;
    bool ok;
    const char *pan, *sequence;
  } rows[] = {
      {"4000123456789010 01", true, "4000123456789010", "01"},
      {"4000123456789010 01 FF", true, "4000123456789010", "01"},  // longer: the rest is ignored
      {"4000123456789010", false, "", ""},                         // no sequence byte
      {"", false, "", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.serialHex);
    TSDByteArray serial;
    serial.FromHex(row.serialHex);
    ops::CardIdentity card;
    ASSERT_EQ(ops::IdentityOfSerial(serial, &card), row.ok);
    if (!row.ok) continue;
    EXPECT_STREQ(card.pan.CStr(), row.pan);
    EXPECT_STREQ(card.panSequence.CStr(), row.sequence);
  }
}

TEST(Operations, FileFailuresBecomeTheFileStatuses) {
  EXPECT_EQ(ops::FileFailureStatus(sd::kFileOpen), aps::kFileCannotOpen);
  EXPECT_EQ(ops::FileFailureStatus(sd::kFileTooLarge), aps::kFileTooLarge);
  EXPECT_EQ(ops::FileFailureStatus(sd::kFileRead), aps::kFileTooLarge);
  EXPECT_EQ(ops::FileFailureStatus(sd::kMalformed), aps::kSuccess);

  uint8_t digest[TSDSHA1Digest::kDigestLength];
  for (const char* name : {"/nonexistent/qorx-file", "/"}) {
    SCOPED_TRACE(name);
    try {
      ops::HashFile(name, digest);
      FAIL() << "hashed";
    } catch (const EAPSException& e) {
      EXPECT_EQ(e.Code(), aps::kFileCannotOpen);
    }
  }
  // A null name is the caller's fault, not the file's: it stays a framework failure.
  EXPECT_THROW(ops::HashFile(nullptr, digest), ESDException);
}

TEST(Operations, AFileHashesAsItsContentWithProgressAddingUpToItsSize) {
  char name[] = "/tmp/qorx-operations-XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  const std::string content(3 * 1024 * 1024 + 17, 'q');  // more than one chunk
  ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  close(fd);
  uint8_t digest[TSDSHA1Digest::kDigestLength];
  size_t seen = 0;
  ops::HashFile(name, digest, [&](size_t bytes) { seen += bytes; });
  std::remove(name);
  EXPECT_EQ(seen, content.size());
  EXPECT_STREQ(
      ops::DigestText(digest).CStr(),
      ops::Sha1Text(TSDByteArray(content.data(), static_cast<int32_t>(content.size()))).CStr());
  EXPECT_STREQ(ops::Sha1Text(TSDByteArray("abc", 3)).CStr(),
               "A9993E364706816ABA3E25717850C26C9CD0D89D");
}

}  // namespace
}  // namespace qorx
