#include "tools/cardsim/Frame.h"

#include "core/ByteReader.h"

namespace qorx::cardsim {

void FrameDecoder::Feed(const uint8_t* data, size_t size) {
  buffer_.insert(buffer_.end(), data, data + size);
}

bool FrameDecoder::Next(Bytes* payload) {
  ByteReader in(buffer_.data(), buffer_.size());
  uint16_t length;
  const uint8_t* body;
  if (!in.ReadU16(&length) || !in.ReadBytes(length, &body)) return false;
  payload->assign(body, body + length);
  buffer_.erase(buffer_.begin(), buffer_.begin() + 2 + length);
  return true;
}

Bytes EncodeFrame(const Bytes& payload) {
  size_t n = payload.size() > 0xFFFF ? 0xFFFF : payload.size();
  Bytes out;
  out.reserve(n + 2);
  out.push_back(static_cast<uint8_t>(n >> 8));
  out.push_back(static_cast<uint8_t>(n & 0xFF));
  out.insert(out.end(), payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(n));
  return out;
}

}  // namespace qorx::cardsim
