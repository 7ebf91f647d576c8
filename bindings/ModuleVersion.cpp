#include "bindings/ModuleVersion.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "core/ByteReader.h"

#ifndef QORX_VERSION_MAJOR
#error "the build names the version (QORX_VERSION_MAJOR ... QORX_VERSION_TWEAK)"
#endif

namespace qorx {

namespace {

constexpr char kNoteOwner[] = "QorX";
constexpr uint32_t kNoteType = 1;

// The note as the linker lays it out: header, owner padded to 4 bytes, the record.
struct VersionNote {
  uint32_t ownerSize;
  uint32_t recordSize;
  uint32_t type;
  char owner[8];
  FixedFileInfo record;
};

constexpr uint32_t Word(unsigned high, unsigned low) {
  return (static_cast<uint32_t>(high & 0xFFFFu) << 16) | (low & 0xFFFFu);
}

// Kept by the linker (used) and placed in a note section, which ends up in a PT_NOTE segment
// of every binary linking this file; nothing reads it from memory.
__attribute__((used, section(".note.qorx.version"), aligned(4)))
const VersionNote kVersionNote = {sizeof kNoteOwner,
                                  sizeof(FixedFileInfo),
                                  kNoteType,
                                  {'Q', 'o', 'r', 'X', 0, 0, 0, 0},
                                  {
                                      kFixedFileInfoSignature,
                                      0x00010000u,  // record layout 1.0
                                      Word(QORX_VERSION_MAJOR, QORX_VERSION_MINOR),
                                      Word(QORX_VERSION_PATCH, QORX_VERSION_TWEAK),
                                      Word(QORX_VERSION_MAJOR, QORX_VERSION_MINOR),
                                      Word(QORX_VERSION_PATCH, QORX_VERSION_TWEAK),
                                      0x3Fu,  // every flag defined
                                      0,  // a release build: no debug, pre-release or patched flag
                                      0,  // operating system: not one of the listed ones
                                      2,  // a library
                                      0,
                                      0,
                                      0,
                                  }};

struct FileCloser {
  int fd;
  ~FileCloser() {
    if (fd >= 0) ::close(fd);
  }
};

// `length` bytes at `offset`, or an errno value (EIO when the file ends first).
int ReadAt(int fd, uint64_t offset, size_t length, TSDByteArray* out) noexcept {
  try {
    if (offset > static_cast<uint64_t>(LLONG_MAX) || length > INT32_MAX) return ENOEXEC;
    TSDByteArray bytes(static_cast<int32_t>(length));
    uint8_t* into = bytes.WritableData();
    size_t done = 0;
    while (done < length) {
      const ssize_t n = ::pread(fd, into + done, length - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return errno;
      if (n == 0) return ENOEXEC;  // cut short: not a complete ELF file
      done += static_cast<size_t>(n);
    }
    *out = bytes;
    return 0;
  } catch (...) {
    return ENOMEM;
  }
}

// Fixed-size fields of the file's own byte order, read through the bounds-checked reader.
class ElfReader {
 public:
  ElfReader(const TSDByteArray& bytes, bool bigEndian) : reader_(bytes), bigEndian_(bigEndian) {}
  explicit ElfReader(ByteReader reader, bool bigEndian) : reader_(reader), bigEndian_(bigEndian) {}

  bool Skip(size_t n) { return reader_.Skip(n); }
  bool U16(uint64_t* out) { return Unsigned(2, out); }
  bool U32(uint64_t* out) { return Unsigned(4, out); }
  bool U64(uint64_t* out) { return Unsigned(8, out); }
  // An address-sized field: 4 bytes in a 32-bit file, 8 in a 64-bit one.
  bool Word(bool is64, uint64_t* out) { return is64 ? U64(out) : U32(out); }
  ByteReader& Raw() { return reader_; }

 private:
  bool Unsigned(size_t size, uint64_t* out) {
    const uint8_t* p;
    if (!reader_.ReadBytes(size, &p)) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < size; ++i) v = (v << 8) | p[bigEndian_ ? i : size - 1 - i];
    *out = v;
    return true;
  }
  ByteReader reader_;
  bool bigEndian_;
};

// Finds our note among the notes of one PT_NOTE segment.
bool FindRecord(const TSDByteArray& notes, bool bigEndian, uint64_t alignment, FixedFileInfo* out) {
  ElfReader r(notes, bigEndian);
  for (;;) {
    uint64_t ownerSize, recordSize, type;
    if (!r.U32(&ownerSize) || !r.U32(&recordSize) || !r.U32(&type)) return false;
    const uint64_t ownerPadded = (ownerSize + alignment - 1) / alignment * alignment;
    const uint64_t recordPadded = (recordSize + alignment - 1) / alignment * alignment;
    ByteReader owner;
    if (!r.Raw().ReadReader(static_cast<size_t>(ownerPadded), &owner)) return false;
    ByteReader record;
    if (!r.Raw().ReadReader(static_cast<size_t>(recordSize), &record)) return false;
    r.Skip(static_cast<size_t>(recordPadded - recordSize));  // the last note may omit it
    const uint8_t* name;
    if (type == kNoteType && ownerSize == sizeof kNoteOwner &&
        owner.ReadBytes(sizeof kNoteOwner, &name) &&
        std::memcmp(name, kNoteOwner, sizeof kNoteOwner) == 0 &&
        recordSize == sizeof(FixedFileInfo)) {
      ElfReader fields(record, bigEndian);
      uint32_t words[sizeof(FixedFileInfo) / 4];
      for (uint32_t& w : words) {
        uint64_t v;
        if (!fields.U32(&v)) return false;
        w = static_cast<uint32_t>(v);
      }
      if (words[0] != kFixedFileInfoSignature) return false;
      std::memcpy(out, words, sizeof words);
      return true;
    }
  }
}

}  // namespace

int ReadFileVersion(const char* path, FixedFileInfo* out) noexcept {
  if (path == nullptr || out == nullptr) return EINVAL;
  FileCloser f{::open(path, O_RDONLY | O_CLOEXEC)};
  if (f.fd < 0) return errno;
  TSDByteArray header;
  // The 32-bit header is 52 bytes, the 64-bit one 64; ask for the smaller first.
  if (int rc = ReadAt(f.fd, 0, 52, &header)) return rc;
  const uint8_t* ident = header.Data();
  if (std::memcmp(ident, ELFMAG, SELFMAG) != 0) return ENOEXEC;
  const bool is64 = ident[EI_CLASS] == ELFCLASS64;
  if (!is64 && ident[EI_CLASS] != ELFCLASS32) return ENOEXEC;
  if (ident[EI_DATA] != ELFDATA2LSB && ident[EI_DATA] != ELFDATA2MSB) return ENOEXEC;
  const bool bigEndian = ident[EI_DATA] == ELFDATA2MSB;
  if (is64) {
    if (int rc = ReadAt(f.fd, 0, 64, &header)) return rc;
  }

  ElfReader h(header, bigEndian);
  uint64_t phoff, phentsize, phnum;
  // e_ident, e_type, e_machine, e_version, e_entry; e_phoff; e_shoff, e_flags, e_ehsize.
  const size_t word = is64 ? 8 : 4;
  if (!h.Skip(EI_NIDENT + 2 + 2 + 4 + word) || !h.Word(is64, &phoff) || !h.Skip(word + 4 + 2) ||
      !h.U16(&phentsize) || !h.U16(&phnum))
    return ENOEXEC;
  const uint64_t minEntry = is64 ? sizeof(Elf64_Phdr) : sizeof(Elf32_Phdr);
  if (phnum == 0 || phentsize < minEntry) return ENODATA;

  TSDByteArray table;
  if (int rc = ReadAt(f.fd, phoff, static_cast<size_t>(phentsize * phnum), &table)) return rc;
  for (uint64_t i = 0; i < phnum; ++i) {
    ElfReader e(ByteReader(table.Data() + i * phentsize, static_cast<size_t>(phentsize)),
                bigEndian);
    uint64_t type, offset, fileSize, alignment, flags;
    bool ok = e.U32(&type);
    if (is64) {
      ok = ok && e.U32(&flags) && e.U64(&offset) && e.Skip(16) && e.U64(&fileSize) && e.Skip(8) &&
           e.U64(&alignment);
    } else {
      ok = ok && e.U32(&offset) && e.Skip(8) && e.U32(&fileSize) && e.Skip(8) && e.U32(&alignment);
    }
    if (!ok) return ENOEXEC;
    // Our note is small; a huge note segment is not one we wrote.
    if (type != PT_NOTE || fileSize == 0 || fileSize > 65536) continue;
    TSDByteArray notes;
    if (ReadAt(f.fd, offset, static_cast<size_t>(fileSize), &notes) != 0) continue;
    if (FindRecord(notes, bigEndian, alignment == 8 ? 8 : 4, out)) return 0;
  }
  return ENODATA;
}

bool GetOwnModulePath(char* buffer, size_t size) noexcept {
  if (buffer == nullptr || size == 0) return false;
  struct Search {
    uintptr_t address;
    const char* name;
    bool found;
  } search{reinterpret_cast<uintptr_t>(&kVersionNote), nullptr, false};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* s = static_cast<Search*>(data);
        for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& ph = info->dlpi_phdr[i];
          const uintptr_t start = info->dlpi_addr + ph.p_vaddr;
          if (ph.p_type == PT_LOAD && s->address >= start && s->address < start + ph.p_memsz) {
            s->name = info->dlpi_name;
            s->found = true;
            return 1;
          }
        }
        return 0;
      },
      &search);
  if (!search.found) return false;
  if (search.name == nullptr || search.name[0] == '\0') {
    // The program itself: the loader keeps no name for it.
    const ssize_t n = ::readlink("/proc/self/exe", buffer, size);
    if (n <= 0 || static_cast<size_t>(n) >= size) return false;
    buffer[n] = '\0';
    return true;
  }
  const size_t length = std::strlen(search.name);
  if (length >= size) return false;
  std::memcpy(buffer, search.name, length + 1);
  return true;
}

int32_t AppendVersionReport(const char* fileName, DiagnosticReport* report) noexcept {
  if (fileName == nullptr || report == nullptr || fileName[0] == '\0') return EINVAL;
  char located[PATH_MAX];
  const char* path = fileName;
  if (std::strchr(fileName, '/') == nullptr) {
    // The loader's own search (LD_LIBRARY_PATH, its cache, the default directories); a module
    // that is loaded already is found without loading anything.
    void* handle = dlopen(fileName, RTLD_LAZY | RTLD_LOCAL | RTLD_NOLOAD);
    if (handle == nullptr) handle = dlopen(fileName, RTLD_LAZY | RTLD_LOCAL);
    if (handle == nullptr) return ENOENT;
    link_map* map = nullptr;
    const bool named = dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr &&
                       map->l_name != nullptr && std::strlen(map->l_name) < sizeof located;
    if (named) std::strcpy(located, map->l_name);
    dlclose(handle);
    if (!named) return ENOENT;
    path = located;
  }
  FixedFileInfo info;
  if (int rc = ReadFileVersion(path, &info)) return rc;
  const bool appended = report->AppendFormat(
      "TecnologiaAtiva.DLL.Versao = %x.%x.%x.%x\nTecnologiaAtiva.DLL.Assinatura= %x\n",
      info.fileVersionMS >> 16, info.fileVersionMS & 0xFFFFu, info.fileVersionLS >> 16,
      info.fileVersionLS & 0xFFFFu, info.signature);
  return appended ? 0 : ENOSPC;
}

int32_t GetModuleVersionText(char* buffer, size_t size) noexcept {
  if (buffer == nullptr || size < 10) return -1;
  char path[PATH_MAX];
  FixedFileInfo info;
  if (!GetOwnModulePath(path, sizeof path) || ReadFileVersion(path, &info) != 0) return -1;
  char text[48];
  const int n = std::snprintf(text, sizeof text, "%u.%u.%u.%u", info.fileVersionMS >> 16,
                              info.fileVersionMS & 0xFFFFu, info.fileVersionLS >> 16,
                              info.fileVersionLS & 0xFFFFu);
  if (n < 0 || static_cast<size_t>(n) >= size) return -1;
  std::memcpy(buffer, text, static_cast<size_t>(n) + 1);
  return 0;
}

}  // namespace qorx
