#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "core/ByteArray.h"
#include "crypto/SHA1Digest.h"

namespace qorx {

// Files named by a caller (to hash or to sign) are read as a stream in 1 MiB chunks, so memory
// does not grow with the file. The bytes and the failures are those of reading the file whole
// with TSDByteArray::LoadFromFile:
//   0xC100 null name; 0xC302 the file cannot be opened or is not a regular file (a directory,
//   a FIFO, a device: opening one never waits);
//   0xC301 it is 2 GiB or more; 0xC303 its size cannot be read, a read fails, or it ends
//   before the size it had when opened (a file that grows meanwhile is read to that size).

// Hands the file's bytes, in order, to `sink`, one chunk per call (never an empty one).
// Whatever `sink` raises passes through, the file closed. The chunk buffer is wiped at the end.
void ReadFileInChunks(const char* fileName,
                      const std::function<void(const uint8_t* bytes, size_t length)>& sink);

// The SHA-1 digest of the file's content, as TSDSHA1Digest computes it of the whole content.
void Sha1OfFile(const char* fileName, uint8_t digest[TSDSHA1Digest::kDigestLength]);
// The same as 20 bytes.
TSDByteArray Sha1OfFile(const char* fileName);

}  // namespace qorx
