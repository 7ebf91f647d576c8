#pragma once

// The diagnostic report's probes, one per section, and the file readers they share. Private to
// the report (bindings/Diagnostics.cpp).
#include <string>
#include <vector>

#include "bindings/Diagnostics.h"

namespace qorx::diagnostics {

// ---- Small readers of this machine's files (MachineFiles.cpp) ----------------------------------
std::string Upper(std::string text);  // ASCII letters only
bool Exists(const std::string& path);
bool IsDirectory(const std::string& path);
std::string DirectoryOf(const std::string& path);  // "." without a slash, "/" for the root
std::string BaseName(const std::string& path);
// The names in `directory` but those starting with a dot, sorted; none when it cannot be read.
std::vector<std::string> DirectoryEntries(const std::string& directory);
std::string Trim(const std::string& text);  // blanks, tabs and line ends at both ends

// ---- The sections -----------------------------------------------------------------------------
// 1. Processor (Processor.cpp).
void AppendProcessor(DiagnosticReport& r);
// 2. System name (System.cpp); returns whether the system could be named (section 4 reads it).
bool AppendSystemName(DiagnosticReport& r);
// The PC/SC client library's file name as the loader takes it (System.cpp).
std::string PCSCLibraryName();
// 3. System directory: where that library resolves (System.cpp); returns the text reported.
std::string AppendSystemDirectory(DiagnosticReport& r);
// 4. PC/SC components and the resource manager (Components.cpp); `directory` is section 3's.
void AppendComponents(DiagnosticReport& r, const std::string& directory, bool systemNamed);

}  // namespace qorx::diagnostics
