// Files hashed as a stream give what hashing the whole content gives, with the same failures
// as reading the file whole, and never hold more than one chunk.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "crypto/FileDigest.h"
#include "tests/support/Seams.h"
#include "tests/support/TestSupport.h"

namespace qorx {
namespace {

using test::CodeOf;
using test::HexOf;

class FileDigestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qorx-filedigest-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  std::string Write(const std::string& name, size_t size) {
    std::string content(size, '\0');
    uint32_t x = static_cast<uint32_t>(size) * 2654435761u + 1;
    for (char& c : content) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  std::string dir_;
};

TEST_F(FileDigestTest, SameDigestAsTheWholeContent) {
  // Around the 64-byte block and the 1 MiB chunk.
  for (size_t size :
       {0u, 1u, 63u, 64u, 65u, (1u << 20) - 1, 1u << 20, (1u << 20) + 1, 3u * (1u << 20) + 17}) {
    const std::string path = Write("f" + std::to_string(size), size);
    TSDByteArray whole;
    whole.LoadFromFile(path.c_str());
    TSDSHA1Digest sha1;
    sha1.Update(whole);
    uint8_t expected[20];
    sha1.Final(expected);
    EXPECT_EQ(HexOf(Sha1OfFile(path.c_str())), HexOf(TSDByteArray(expected, 20))) << size;
  }
  std::ofstream(dir_ + "/abc") << "abc";
  EXPECT_EQ(HexOf(Sha1OfFile((dir_ + "/abc").c_str())), "A9993E364706816ABA3E25717850C26C9CD0D89D");
}

TEST_F(FileDigestTest, FailuresAreThoseOfReadingTheFileWhole) {
  const std::string big = dir_ + "/big";
  {
    const int fd = ::open(big.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t{1} << 31), 0);  // sparse: 2 GiB without the disk space
    ::close(fd);
  }
  int pipe[2];
  ASSERT_EQ(::pipe(pipe), 0);
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    const char* what;
    std::string path;
    uint16_t code;
  } cases[] = {
      {"missing file", dir_ + "/none", sd::kFileOpen},
      {"directory", dir_, sd::kFileOpen},
      {"2 GiB", big, sd::kFileTooLarge},
      {"a pipe", "/proc/self/fd/" + std::to_string(pipe[0]), sd::kFileOpen},
      {"a FIFO nobody writes to, whose open would wait", fifo, sd::kFileOpen},
      {"a device", "/dev/null", sd::kFileOpen},
      {"a file that reports no size", "/proc/self/status", 0},
      {"shorter than its size", "/sys/devices/system/cpu/online", sd::kFileRead},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CodeOf([&] { Sha1OfFile(c.path.c_str()); }), c.code) << c.what;
    EXPECT_EQ(CodeOf([&] { TSDByteArray().LoadFromFile(c.path.c_str()); }), c.code) << c.what;
  }
  EXPECT_EQ(CodeOf([] { Sha1OfFile(nullptr); }), sd::kInvalidArgument);
  ::close(pipe[0]);
  ::close(pipe[1]);
}

size_t OpenFiles() {
  size_t n = 0;
  for (int fd = 0; fd < 1024; ++fd) n += ::fcntl(fd, F_GETFD) != -1;
  return n;
}

std::vector<uint8_t> releasedMegabyte;
void KeepMegabyte(const void* data, size_t len) {
  if (len == (1u << 20))
    releasedMegabyte.assign(static_cast<const uint8_t*>(data),
                            static_cast<const uint8_t*>(data) + len);
}

TEST_F(FileDigestTest, OneWipedChunkAtATime) {
  const std::string path = Write("five", 5u << 20);
  std::vector<size_t> chunks;
  SetReleaseObserver(KeepMegabyte);
  ReadFileInChunks(path.c_str(), [&](const uint8_t*, size_t n) { chunks.push_back(n); });
  SetReleaseObserver(nullptr);
  EXPECT_EQ(chunks, std::vector<size_t>(5, 1u << 20));
  ASSERT_EQ(releasedMegabyte.size(), 1u << 20) << "the chunk buffer was not given back";
  EXPECT_EQ(releasedMegabyte, std::vector<uint8_t>(1u << 20, 0)) << "file bytes left behind";

  const size_t before = OpenFiles();
  EXPECT_THROW(ReadFileInChunks(path.c_str(),
                                [](const uint8_t*, size_t) { throw std::runtime_error("stop"); }),
               std::runtime_error);
  EXPECT_EQ(OpenFiles(), before) << "the file stayed open";
}

}  // namespace
}  // namespace qorx
