#include "core/ByteArray.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include "core/Exceptions.h"
#include "core/Hex.h"
#include "core/ReleaseNotice.h"
#include "core/Wipe.h"

namespace qorx {

// One allocation: the two counts, then the content bytes.
struct TSDByteArray::Block {
  int32_t refs;
  int32_t length;
};

namespace {
inline uint8_t* BytesOf(void* block) {
  return reinterpret_cast<uint8_t*>(block) + 8;
}
static_assert(sizeof(int32_t) * 2 == 8, "block header is two 32-bit counts");
}  // namespace

TSDByteArray::Block* TSDByteArray::Allocate(int32_t length) {
  if (length < 0) QORX_RAISE(sd::kNoMemory, unit::kObjects);
  void* memory = std::calloc(1, sizeof(Block) + static_cast<size_t>(length));
  if (memory == nullptr) QORX_RAISE(sd::kNoMemory, unit::kObjects);
  Block* block = static_cast<Block*>(memory);
  block->refs = 1;
  block->length = length;
  return block;
}

void TSDByteArray::Release(Block* block) noexcept {
  if (block == nullptr) return;
  if (block->refs > 1) {
    --block->refs;
    return;
  }
  uint8_t* bytes = BytesOf(block);
  size_t length = static_cast<size_t>(block->length);
  SecureWipe(bytes, length);
  detail::NotifyRelease(bytes, length);
  std::free(block);
}

TSDByteArray::TSDByteArray() : block_(Allocate(0)) {}

TSDByteArray::TSDByteArray(int32_t size) : block_(Allocate(size)) {}

TSDByteArray::TSDByteArray(const void* bytes, int32_t length) : block_(Allocate(length)) {
  if (length > 0 && bytes != nullptr) std::memcpy(Bytes(), bytes, static_cast<size_t>(length));
}

TSDByteArray::TSDByteArray(const char* text) : block_(nullptr) {
  size_t n = text != nullptr ? std::strlen(text) : 0;
  if (n >= static_cast<size_t>(std::numeric_limits<int32_t>::max()))
    QORX_RAISE(sd::kNoMemory, unit::kObjects);
  block_ = Allocate(static_cast<int32_t>(n + 1));
  if (n > 0) std::memcpy(Bytes(), text, n);
}

TSDByteArray::TSDByteArray(const TSDByteArray& other) noexcept : block_(other.block_) {
  ++block_->refs;
}

TSDByteArray& TSDByteArray::operator=(const TSDByteArray& other) noexcept {
  Block* old = block_;
  ++other.block_->refs;
  block_ = other.block_;
  Release(old);
  return *this;
}

// A handle always refers to a block, so a move swaps: `other` keeps ours until it dies.
TSDByteArray& TSDByteArray::operator=(TSDByteArray&& other) noexcept {
  if (this != &other) {
    Block* tmp = block_;
    block_ = other.block_;
    other.block_ = tmp;
  }
  return *this;
}

TSDByteArray::~TSDByteArray() {
  Release(block_);
}

TSDByteArray TSDByteArray::EmptyText() {
  return TSDByteArray(1);
}

TSDByteArray TSDByteArray::TextCopy(const TSDByteArray& other) {
  int32_t n = other.Length();
  if (n == 0) return EmptyText();
  TSDByteArray copy(other.Data(), n);
  copy.Bytes()[n - 1] = 0;
  return copy;
}

TSDByteArray TSDByteArray::PrefixCopy(const TSDByteArray& other, bool keepTerminator) {
  int32_t n = keepTerminator ? other.Length() : other.Length() - 1;
  if (n < 0) n = 0;
  return TSDByteArray(other.Data(), n);
}

int32_t TSDByteArray::Length() const noexcept {
  return block_->length;
}

const uint8_t* TSDByteArray::Data() const noexcept {
  return BytesOf(block_);
}

uint8_t* TSDByteArray::Bytes() noexcept {
  return BytesOf(block_);
}

uint8_t* TSDByteArray::WritableData() {
  MakeUnique();
  return Bytes();
}

void TSDByteArray::MakeUnique() {
  if (block_->refs < 2) return;
  Block* copy = Allocate(block_->length);
  if (block_->length > 0) std::memcpy(BytesOf(copy), Data(), static_cast<size_t>(block_->length));
  --block_->refs;
  block_ = copy;
}

void TSDByteArray::SetLength(int32_t n) {
  Block* fresh = Allocate(n);
  int32_t keep = n < block_->length ? n : block_->length;
  if (keep > 0) std::memcpy(BytesOf(fresh), Data(), static_cast<size_t>(keep));
  Release(block_);
  block_ = fresh;
}

void TSDByteArray::Insert(int32_t pos, int32_t n) {
  assert(pos >= 0 && pos <= Length() && n >= 0);
  int32_t oldLength = Length();
  SetLength(oldLength + n);
  if (oldLength > pos)
    std::memmove(Bytes() + pos + n, Bytes() + pos, static_cast<size_t>(oldLength - pos));
}

void TSDByteArray::Remove(int32_t pos, int32_t n) {
  assert(pos >= 0 && n >= 0 && pos + n <= Length());
  int32_t tail = Length() - pos - n;
  if (tail > 0) {
    MakeUnique();
    std::memmove(Bytes() + pos, Bytes() + pos + n, static_cast<size_t>(tail));
  }
  SetLength(Length() - n);
}

void TSDByteArray::Append(const TSDByteArray& other) {
  Append(other.Data(), other.Length());
}

void TSDByteArray::Append(const void* bytes, int32_t length) {
  if (length <= 0) return;
  TSDByteArray old(*this);  // `bytes` may lie in our own block, which growing releases
  int32_t pos = Length();
  SetLength(pos + length);
  std::memcpy(Bytes() + pos, bytes, static_cast<size_t>(length));
}

TSDByteArray TSDByteArray::Concat(const TSDByteArray& other) const {
  TSDByteArray result(*this);
  result.Append(other);
  return result;
}

TSDByteArray TSDByteArray::Mid(int32_t pos, int32_t len) const {
  assert(pos >= 0 && len >= 0 && pos + len <= Length());
  return TSDByteArray(Data() + pos, len);
}

void TSDByteArray::SetByte(int32_t pos, uint8_t value) {
  assert(pos >= 0);
  if (pos >= Length())
    SetLength(pos + 1);  // a new block, unique already
  else
    MakeUnique();
  Bytes()[pos] = value;
}

void TSDByteArray::Write(int32_t pos, const TSDByteArray& other) {
  Write(pos, other.Data(), other.Length());
}

// `bytes` may lie in our own block: growing keeps that block alive until they are copied, and
// writing in place moves them, as source and destination may overlap.
void TSDByteArray::Write(int32_t pos, const void* bytes, int32_t length) {
  assert(pos >= 0 && length >= 0);
  if (Length() < pos + length) {
    TSDByteArray old(*this);
    SetLength(pos + length);
    if (length > 0) std::memcpy(Bytes() + pos, bytes, static_cast<size_t>(length));
    return;
  }
  MakeUnique();
  if (length > 0) std::memmove(Bytes() + pos, bytes, static_cast<size_t>(length));
}

bool TSDByteArray::CopyOut(int32_t pos, void* dest, int32_t len) const noexcept {
  if (pos < 0 || len < 0 || static_cast<int64_t>(pos) + len > Length()) return false;
  if (len > 0) std::memcpy(dest, Data() + pos, static_cast<size_t>(len));
  return true;
}

void TSDByteArray::FromHex(const char* text) {
  if (text == nullptr) text = "";
  const size_t length = std::strlen(text);
  size_t bytes = 0;
  if (!hex::DecodedSize(text, length, &bytes)) QORX_RAISE(sd::kMalformed, unit::kObjects);
  if (bytes > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
    QORX_RAISE(sd::kNoMemory, unit::kObjects);
  TSDByteArray result(static_cast<int32_t>(bytes));
  hex::DecodeInto(text, length, result.Bytes());
  *this = std::move(result);
}

// A spaced text keeps the room of three characters per byte: its NUL comes early.
TSDByteArray TSDByteArray::ToHex(bool spaced) const {
  const size_t n = static_cast<size_t>(Length());
  const size_t width = n * (spaced ? 3 : 2);
  if (width >= static_cast<size_t>(std::numeric_limits<int32_t>::max()))
    QORX_RAISE(sd::kNoMemory, unit::kObjects);
  TSDByteArray text;
  text.Fill(static_cast<int32_t>(width), ' ');
  char* out = reinterpret_cast<char*>(text.Bytes());
  hex::EncodeInto(Data(), n, spaced, out);
  out[hex::EncodedSize(n, spaced)] = '\0';
  return text;
}

namespace {
// Closes the file on every path out of LoadFromFile.
struct FileCloser {
  FILE* file;
  ~FileCloser() {
    if (file != nullptr) std::fclose(file);
  }
};
}  // namespace

void TSDByteArray::LoadFromFile(const char* fileName) {
  if (fileName == nullptr) QORX_RAISEF(sd::kInvalidArgument, unit::kObjects, "pszFileName");
  // As crypto/FileDigest.cpp: the open never waits (a FIFO, a device), and only a regular
  // file is read.
  const int fd = ::open(fileName, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) QORX_RAISEF(sd::kFileOpen, unit::kObjects, "Cannot open file");
  FileCloser f{::fdopen(fd, "rb")};
  if (f.file == nullptr) {
    ::close(fd);
    QORX_RAISEF(sd::kFileOpen, unit::kObjects, "Cannot open file");
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
    QORX_RAISEF(sd::kFileOpen, unit::kObjects, "Cannot open file");
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
    QORX_RAISEF(sd::kFileRead, unit::kObjects, "Cannot open file");
  if (fseeko(f.file, 0, SEEK_END) != 0)
    QORX_RAISEF(sd::kFileRead, unit::kObjects, "Cannot open file");
  off_t size = ftello(f.file);
  if (size < 0) QORX_RAISEF(sd::kFileRead, unit::kObjects, "Cannot open file");
  if (size > std::numeric_limits<int32_t>::max())
    QORX_RAISEF(sd::kFileTooLarge, unit::kObjects, "File bigger than 2GB");
  SetLength(static_cast<int32_t>(size));
  if (fseeko(f.file, 0, SEEK_SET) != 0)
    QORX_RAISEF(sd::kFileRead, unit::kObjects, "Cannot open file");
  size_t read = size > 0 ? std::fread(Bytes(), 1, static_cast<size_t>(size), f.file) : 0;
  if (read != static_cast<size_t>(size))
    QORX_RAISEF(sd::kFileRead, unit::kObjects,
                "Read operation returned different bytes than expected");
}

void TSDByteArray::AssignText(const char* text) {
  if (text == nullptr) text = "";
  size_t n = std::strlen(text);
  if (n >= static_cast<size_t>(std::numeric_limits<int32_t>::max()))
    QORX_RAISE(sd::kNoMemory, unit::kObjects);
  TSDByteArray keep(*this);  // `text` may point into this array's own block
  SetLength(static_cast<int32_t>(n + 1));
  std::memcpy(Bytes(), text, n);
  Bytes()[n] = 0;
}

void TSDByteArray::AssignCopy(const TSDByteArray& other) {
  TSDByteArray keep(other);
  SetLength(keep.Length());
  if (keep.Length() > 0) std::memcpy(Bytes(), keep.Data(), static_cast<size_t>(keep.Length()));
}

void TSDByteArray::Fill(int32_t count, char ch) {
  assert(count >= 0);
  SetLength(count + 1);
  std::memset(Bytes(), static_cast<unsigned char>(ch), static_cast<size_t>(count));
  Bytes()[count] = 0;
}

const char* TSDByteArray::CStr() const noexcept {
  if (Length() == 0) return "";
  return reinterpret_cast<const char*>(Data());
}

bool TSDByteArray::operator==(const TSDByteArray& other) const noexcept {
  return Length() == other.Length() &&
         (Length() == 0 || std::memcmp(Data(), other.Data(), static_cast<size_t>(Length())) == 0);
}

int32_t TSDByteArray::ShareCount() const noexcept {
  return block_->refs;
}

}  // namespace qorx
