#include "crypto/FileDigest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "core/Exceptions.h"

namespace qorx {

namespace {

constexpr const char* kUnit = unit::kCrypto;
// Large enough that the per-call cost of read() disappears against hashing, small enough to
// stay in the cache hierarchy and well within the memory budget of an applet.
constexpr int32_t kChunk = 1 << 20;

struct FileCloser {
  int fd;
  ~FileCloser() {
    if (fd >= 0) ::close(fd);
  }
};

// read() until `length` bytes came or the file ended; -1 on a read error.
ssize_t ReadFully(int fd, uint8_t* into, size_t length) noexcept {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::read(fd, into + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

}  // namespace

void ReadFileInChunks(const char* fileName,
                      const std::function<void(const uint8_t* bytes, size_t length)>& sink) {
  if (fileName == nullptr) QORX_RAISEF(sd::kInvalidArgument, kUnit, "pszFileName");
  // Opening a FIFO nobody writes to, or some devices, waits for ever: the open does not wait,
  // and only a regular file is read (a directory, a pipe or a device has no file's bytes).
  FileCloser f{::open(fileName, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
  if (f.fd < 0) QORX_RAISEF(sd::kFileOpen, kUnit, "Cannot open file");
  struct stat info;
  if (::fstat(f.fd, &info) != 0 || !S_ISREG(info.st_mode))
    QORX_RAISEF(sd::kFileOpen, kUnit, "Cannot open file");
  const int flags = ::fcntl(f.fd, F_GETFL);
  if (flags < 0 || ::fcntl(f.fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
    QORX_RAISEF(sd::kFileRead, kUnit, "Cannot open file");
  // The recorded size: 0 for most of /proc, whose files are then empty.
  const off_t size = info.st_size;
  if (size > std::numeric_limits<int32_t>::max())
    QORX_RAISEF(sd::kFileTooLarge, kUnit, "File bigger than 2GB");
  if (::lseek(f.fd, 0, SEEK_SET) != 0) QORX_RAISEF(sd::kFileRead, kUnit, "Cannot open file");
  if (size == 0) return;
  (void)::posix_fadvise(f.fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  const int32_t chunk = size < kChunk ? static_cast<int32_t>(size) : kChunk;
  TSDByteArray buffer(chunk);  // wiped when released, also when `sink` raises
  uint8_t* bytes = buffer.WritableData();
  off_t left = size;
  while (left > 0) {
    const size_t want = left < chunk ? static_cast<size_t>(left) : static_cast<size_t>(chunk);
    const ssize_t got = ReadFully(f.fd, bytes, want);
    if (got < 0 || static_cast<size_t>(got) != want)
      QORX_RAISEF(sd::kFileRead, kUnit, "Read operation returned different bytes than expected");
    sink(bytes, want);
    left -= static_cast<off_t>(want);
  }
}

void Sha1OfFile(const char* fileName, uint8_t digest[TSDSHA1Digest::kDigestLength]) {
  TSDSHA1Digest sha1;
  ReadFileInChunks(fileName,
                   [&](const uint8_t* bytes, size_t length) { sha1.Update(bytes, length); });
  sha1.Final(digest);
}

TSDByteArray Sha1OfFile(const char* fileName) {
  uint8_t digest[TSDSHA1Digest::kDigestLength];
  Sha1OfFile(fileName, digest);
  return TSDByteArray(digest, static_cast<int32_t>(sizeof digest));
}

}  // namespace qorx
