#pragma once

// Native messaging framing on a pair of file descriptors: each message is a 32-bit length in
// the machine's byte order followed by that many bytes of UTF-8 JSON.

#include <cstddef>
#include <cstdint>
#include <string>

namespace qorx::bridge {

// The browser refuses a message from the host longer than this.
constexpr size_t kMaxAnswerSize = 1024 * 1024;

enum class ReadStatus : uint8_t {
  Message,      // *out holds the message
  End,          // the input closed between messages
  TooLarge,     // longer than the limit: read and thrown away, the next message follows
  Interrupted,  // a signal asked us to stop
  Broken,       // the input closed inside a message, or a read failed
};

// Reads one message of at most `maxSize` bytes. A longer one is read in small pieces and
// discarded, so its declared length costs no memory. `*declared` is the length the message
// announced.
ReadStatus ReadMessage(int fd, size_t maxSize, std::string* out, uint32_t* declared,
                       const volatile int* stop);

// Writes one message; false when the output is closed or `json` is over the browser's limit.
bool WriteMessage(int fd, const std::string& json);

}  // namespace qorx::bridge
