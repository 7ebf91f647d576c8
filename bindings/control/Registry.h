#pragma once

// The file-backed class registry: the part of HKEY_CLASSES_ROOT that registration writes and
// that a script host reads to create a control. It is one text file in the format of Windows
// registry exports ("Windows Registry Editor Version 5.00", a [key] line per key, "name"="value"
// lines, @ for the default value), kept at $QORX_REGISTRY or, when that is unset,
// $XDG_CONFIG_HOME/qorx/registry.reg (~/.config/qorx/registry.reg).
//
// Key and value names compare without regard to ASCII case, as Windows compares them. Changes
// go through a Transaction: it holds an exclusive lock on a lock file beside the registry for
// its whole read-modify-write, and Commit replaces the file atomically (a new file renamed
// over the old one), so neither a crash nor a second process registering at the same moment
// leaves a half-written file or loses keys.

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qorx::com {

// Case-insensitive ordering of key paths and value names.
struct NoCaseLess {
  bool operator()(const std::string& a, const std::string& b) const noexcept;
};

std::string RegistryPath();

class RegistryData {
 public:
  // Parses the export text (UTF-8, or UTF-16LE with its byte-order mark as Windows writes
  // it). Sections of other hives are kept verbatim and written back after ours; lines of our
  // hive it does not understand are left out. Nothing in it is fatal.
  static RegistryData Parse(const std::string& text);
  std::string Serialize() const;

  // Paths are relative to HKEY_CLASSES_ROOT with backslashes, e.g. "CLSID\{...}\ProgID".
  bool HasKey(const std::string& path) const;
  void CreateKey(const std::string& path);  // and every parent
  // Removes the key with all its subkeys and values.
  void DeleteTree(const std::string& path);
  // Names of the direct subkeys.
  std::vector<std::string> SubKeys(const std::string& path) const;
  // "" is the default value. Values are strings; a value of another type written by someone
  // else is kept as its raw text (e.g. dword:00000001) and read back as such.
  std::optional<std::string> Value(const std::string& path, const std::string& name) const;
  void SetValue(const std::string& path, const std::string& name, const std::string& value);
  void DeleteValue(const std::string& path, const std::string& name);
  size_t KeyCount() const { return keys_.size(); }

 private:
  struct Entry {
    std::string text;
    bool raw = false;  // not a string: kept verbatim after the '='
  };
  using Values = std::map<std::string, Entry, NoCaseLess>;
  std::map<std::string, Values, NoCaseLess> keys_;
  std::string foreign_;  // sections of other hives, verbatim
};

// Reads the registry file; an absent file is an empty registry. False when it exists but
// cannot be read.
bool LoadRegistry(RegistryData* out);

class RegistryTransaction {
 public:
  RegistryTransaction();   // locks and loads; check Ok()
  ~RegistryTransaction();  // unlocks; changes not committed are dropped
  RegistryTransaction(const RegistryTransaction&) = delete;
  RegistryTransaction& operator=(const RegistryTransaction&) = delete;

  bool Ok() const noexcept { return ok_; }
  RegistryData& Data() noexcept { return data_; }
  // Writes the new file beside the old one, flushes it and renames it over the old one.
  bool Commit();

 private:
  std::string path_;
  int lockFd_ = -1;
  bool ok_ = false;
  RegistryData data_;
};

}  // namespace qorx::com
