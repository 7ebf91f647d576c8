// The native messaging frames as the browser (or anything on the host's input) sends them:
// every message read is the one the stream announced, an oversized one is skipped whole, a
// cut one ends the stream, and a message written back reads the same. The first input byte
// sets the size limit, so that small and oversized messages both occur.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "tools/bridge/Framing.h"

using namespace qorx::bridge;

namespace {

// A file in memory, refilled for every input.
int Stream(const char* name) {
  const int fd = memfd_create(name, 0);
  if (fd < 0) qorx::fuzz::Fail("memfd_create", __FILE__, __LINE__);
  return fd;
}

void Fill(int fd, const uint8_t* data, size_t size) {
  FUZZ_CHECK(ftruncate(fd, 0) == 0);
  FUZZ_CHECK(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
  FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int input = Stream("frames");
  static const int echo = Stream("echo");
  if (size == 0) return 0;
  const size_t maxSize = static_cast<size_t>(data[0]) * 16;
  const uint8_t* stream = data + 1;
  const size_t length = size - 1;
  Fill(input, stream, length);

  // What the stream says, taken apart here independently of the reader.
  size_t at = 0;
  std::string message;
  for (;;) {
    uint32_t declared = 1;
    const ReadStatus status = ReadMessage(input, maxSize, &message, &declared, nullptr);
    if (length - at == 0) {
      FUZZ_CHECK(status == ReadStatus::End && declared == 0 && message.empty());
      break;
    }
    if (length - at < 4) {
      FUZZ_CHECK(status == ReadStatus::Broken && message.empty());
      break;
    }
    uint32_t announced;
    memcpy(&announced, stream + at, sizeof announced);
    FUZZ_CHECK(declared == announced);
    at += 4;
    if (length - at < announced) {
      FUZZ_CHECK(status == ReadStatus::Broken && message.empty());
      break;
    }
    if (announced > maxSize) {
      FUZZ_CHECK(status == ReadStatus::TooLarge && message.empty());
    } else {
      FUZZ_CHECK(status == ReadStatus::Message);
      FUZZ_CHECK(message.size() == announced &&
                 memcmp(message.data(), stream + at, announced) == 0);
      // Written back and read again: the same message, and then the end.
      FUZZ_CHECK(ftruncate(echo, 0) == 0 && lseek(echo, 0, SEEK_SET) == 0);
      FUZZ_CHECK(WriteMessage(echo, message));
      FUZZ_CHECK(lseek(echo, 0, SEEK_SET) == 0);
      std::string back;
      FUZZ_CHECK(ReadMessage(echo, maxSize, &back, &declared, nullptr) == ReadStatus::Message);
      FUZZ_CHECK(back == message);
      FUZZ_CHECK(ReadMessage(echo, maxSize, &back, &declared, nullptr) == ReadStatus::End);
    }
    at += announced;
  }

  // A stop asked for before a read is obeyed before anything is read.
  FUZZ_CHECK(lseek(input, 0, SEEK_SET) == 0);
  const volatile int stop = 1;
  uint32_t declared = 0;
  FUZZ_CHECK(ReadMessage(input, maxSize, &message, &declared, &stop) == ReadStatus::Interrupted);
  FUZZ_CHECK(lseek(input, 0, SEEK_CUR) == 0);
  return 0;
}
