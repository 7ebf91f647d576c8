#pragma once

#include <cstddef>

#include "tools/cardsim/Bytes.h"

namespace qorx::cardsim {

// The reader driver's framing: every message, both ways, is a 2-byte big-endian length and
// that many payload bytes. TCP hands us arbitrary slices of that stream; the decoder keeps
// the bytes until a whole message is there.
class FrameDecoder {
 public:
  void Feed(const uint8_t* data, size_t size);
  // Moves the next complete payload into `payload`; false while none is complete.
  bool Next(Bytes* payload);
  void Clear() { buffer_.clear(); }
  size_t Buffered() const { return buffer_.size(); }

 private:
  Bytes buffer_;
};

// A payload with its length prefix; payloads above 65535 bytes are cut (none of ours is).
Bytes EncodeFrame(const Bytes& payload);

}  // namespace qorx::cardsim
