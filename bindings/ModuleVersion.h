#pragma once

#include <cstddef>
#include <cstdint>

#include "bindings/Diagnostics.h"

namespace qorx {

// Every binary that links this library's version carries a fixed version record in an ELF note
// (owner "QorX"), laid out like the fixed file information support tools know: signature
// feef04bd, then the file version as two 32-bit words (major << 16 | minor, patch << 16 |
// tweak), the product version likewise, flags, and so on. The version comes from the CMake
// project version, and it is read back from the file on disk, never from memory, so what is
// reported is what is installed.
struct FixedFileInfo {
  uint32_t signature;
  uint32_t structVersion;
  uint32_t fileVersionMS;
  uint32_t fileVersionLS;
  uint32_t productVersionMS;
  uint32_t productVersionLS;
  uint32_t fileFlagsMask;
  uint32_t fileFlags;
  uint32_t fileOS;
  uint32_t fileType;
  uint32_t fileSubtype;
  uint32_t fileDateMS;
  uint32_t fileDateLS;
};
static_assert(sizeof(FixedFileInfo) == 52, "the record's layout is fixed");

constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BDu;

// The version record of the ELF file at `path` (a path, not looked up anywhere). Returns 0, or
// an errno value: that of opening or reading the file, ENOEXEC for a file that is not ELF,
// ENODATA for one without a valid record (the signature must be feef04bd).
int ReadFileVersion(const char* path, FixedFileInfo* out) noexcept;

// The file this code was loaded from: libqorx.so, or the program it is linked into. False when
// it cannot be told or does not fit `size` bytes (NUL included).
bool GetOwnModulePath(char* buffer, size_t size) noexcept;

// Appends "TecnologiaAtiva.DLL.Versao = %x.%x.%x.%x\nTecnologiaAtiva.DLL.Assinatura= %x\n" for
// the version record of `fileName`. A name without a slash is looked up as the dynamic loader
// would (a module already loaded first). Returns 0, or an errno value with nothing appended
// (EINVAL for a null name or report, ENOENT when the name is not found, ENOSPC when the report
// is full, else as ReadFileVersion).
int32_t AppendVersionReport(const char* fileName, DiagnosticReport* report) noexcept;

// Writes "%d.%d.%d.%d" of this library's own file version into `buffer`. Returns 0, or -1 with
// the buffer untouched when `size` is below 10 or the module or its record cannot be read.
int32_t GetModuleVersionText(char* buffer, size_t size) noexcept;

}  // namespace qorx
