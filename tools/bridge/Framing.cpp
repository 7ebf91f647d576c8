#include "tools/bridge/Framing.h"

#include <string.h>
#include <unistd.h>

#include <cerrno>

namespace qorx::bridge {

namespace {

// Reads exactly `size` bytes: 1 when done, 0 at end of input before the first byte, -1 on end
// of input later, a read error, or a stop request.
int ReadFully(int fd, void* buffer, size_t size, const volatile int* stop, bool* interrupted) {
  auto* bytes = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < size) {
    if (stop != nullptr && *stop) {
      *interrupted = true;
      return -1;
    }
    const ssize_t n = read(fd, bytes + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) return done == 0 ? 0 : -1;
    done += static_cast<size_t>(n);
  }
  return 1;
}

}  // namespace

ReadStatus ReadMessage(int fd, size_t maxSize, std::string* out, uint32_t* declared,
                       const volatile int* stop) {
  out->clear();
  *declared = 0;
  bool interrupted = false;
  uint32_t length = 0;
  int got = ReadFully(fd, &length, sizeof length, stop, &interrupted);
  if (interrupted) return ReadStatus::Interrupted;
  if (got == 0) return ReadStatus::End;
  if (got < 0) return ReadStatus::Broken;
  *declared = length;
  if (length > maxSize) {
    char sink[4096];
    uint32_t left = length;
    while (left > 0) {
      const size_t piece = left < sizeof sink ? left : sizeof sink;
      got = ReadFully(fd, sink, piece, stop, &interrupted);
      if (got <= 0) return interrupted ? ReadStatus::Interrupted : ReadStatus::Broken;
      left -= static_cast<uint32_t>(piece);
    }
    explicit_bzero(sink, sizeof sink);
    return ReadStatus::TooLarge;
  }
  out->resize(length);
  if (length == 0) return ReadStatus::Message;
  got = ReadFully(fd, out->data(), length, stop, &interrupted);
  if (got <= 0) {
    explicit_bzero(out->data(), out->size());
    out->clear();
    return interrupted ? ReadStatus::Interrupted : ReadStatus::Broken;
  }
  return ReadStatus::Message;
}

bool WriteMessage(int fd, const std::string& json) {
  if (json.size() > kMaxAnswerSize) return false;
  const uint32_t length = static_cast<uint32_t>(json.size());
  std::string frame(sizeof length, '\0');
  memcpy(frame.data(), &length, sizeof length);
  frame += json;
  size_t done = 0;
  while (done < frame.size()) {
    const ssize_t n = write(fd, frame.data() + done, frame.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace qorx::bridge
