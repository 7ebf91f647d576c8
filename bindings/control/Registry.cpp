#include "bindings/control/Registry.h"

#include "bindings/control/Com.h"
#include "core/ConfigPaths.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace qorx::com {

namespace {

constexpr const char* kHeader = "Windows Registry Editor Version 5.00";
constexpr const char* kRoot = "HKEY_CLASSES_ROOT";

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// Whether `key` lies inside `path` (or is it).
bool Within(const std::string& key, const std::string& path) {
  if (key.size() < path.size()) return false;
  if (!SameNoCase(key.substr(0, path.size()), path)) return false;
  return key.size() == path.size() || key[path.size()] == '\\';
}

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

// A quoted string starting at `pos` (the opening quote); false when it does not end.
bool Unquote(const std::string& line, size_t* pos, std::string* out) {
  out->clear();
  size_t i = *pos + 1;
  for (; i < line.size(); ++i) {
    if (line[i] == '\\' && i + 1 < line.size()) {
      out->push_back(line[++i]);
    } else if (line[i] == '"') {
      *pos = i + 1;
      return true;
    } else {
      out->push_back(line[i]);
    }
  }
  return false;
}

bool MakeParents(const std::string& file) {
  const size_t slash = file.rfind('/');
  if (slash == std::string::npos || slash == 0) return true;
  return config::MakeFolders(file.substr(0, slash), 0700);
}

}  // namespace

bool NoCaseLess::operator()(const std::string& a, const std::string& b) const noexcept {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const char x = Lower(a[i]), y = Lower(b[i]);
    if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  }
  return a.size() < b.size();
}

std::string RegistryPath() {
  return config::UserFile("QORX_REGISTRY", "registry.reg");
}

RegistryData RegistryData::Parse(const std::string& raw) {
  RegistryData data;
  std::string text = raw;
  if (text.compare(0, 2, "\xFF\xFE") == 0) {
    // Windows writes its exports as UTF-16LE.
    std::u16string wide;
    for (size_t i = 2; i + 1 < text.size(); i += 2)
      wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(text[i]) |
                                           static_cast<unsigned char>(text[i + 1]) << 8));
    text = Utf16ToUtf8(wide.data(), wide.size()).CStr();
  } else if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    text.erase(0, 3);
  }
  std::istringstream in(text);
  std::string line;
  Values* current = nullptr;
  bool foreign = false;  // in a section of another hive: kept as it is
  const std::string prefix = std::string(kRoot) + "\\";
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '[') foreign = false;
    if (foreign) {
      if (!line.empty()) data.foreign_ += line + "\n";
      continue;
    }
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      current = nullptr;
      if (line.back() != ']') continue;
      std::string key = line.substr(1, line.size() - 2);
      // Other hives are not ours to interpret, but a rewrite must not lose them.
      if (!SameNoCase(key.substr(0, prefix.size()), prefix)) {
        foreign = true;
        data.foreign_ += "\n" + line + "\n";
        continue;
      }
      key = key.substr(prefix.size());
      if (key.empty()) continue;
      data.CreateKey(key);
      current = &data.keys_[key];
      continue;
    }
    if (current == nullptr) continue;
    std::string name;
    size_t pos = 0;
    if (line[0] == '@') {
      pos = 1;
    } else if (line[0] == '"') {
      if (!Unquote(line, &pos, &name)) continue;
    } else {
      continue;
    }
    if (pos >= line.size() || line[pos] != '=') continue;
    ++pos;
    Entry entry;
    if (pos < line.size() && line[pos] == '"') {
      if (!Unquote(line, &pos, &entry.text)) continue;
    } else {
      entry.raw = true;
      entry.text = line.substr(pos);
      while (!entry.text.empty() && entry.text.back() == '\\' && std::getline(in, line)) {
        entry.text.pop_back();
        entry.text += "\\\n" + line;
      }
    }
    (*current)[name] = entry;
  }
  return data;
}

std::string RegistryData::Serialize() const {
  std::string out = std::string(kHeader) + "\n";
  for (const auto& [key, values] : keys_) {
    out += "\n[" + std::string(kRoot) + "\\" + key + "]\n";
    for (const auto& [name, entry] : values) {
      out += name.empty() ? "@" : Quote(name);
      out += "=";
      out += entry.raw ? entry.text : Quote(entry.text);
      out += "\n";
    }
  }
  return out + foreign_;
}

bool RegistryData::HasKey(const std::string& path) const {
  return keys_.count(path) != 0;
}

void RegistryData::CreateKey(const std::string& path) {
  for (size_t i = path.find('\\'); i != std::string::npos; i = path.find('\\', i + 1))
    keys_.try_emplace(path.substr(0, i));
  keys_.try_emplace(path);
}

void RegistryData::DeleteTree(const std::string& path) {
  for (auto it = keys_.begin(); it != keys_.end();)
    it = Within(it->first, path) ? keys_.erase(it) : std::next(it);
}

std::vector<std::string> RegistryData::SubKeys(const std::string& path) const {
  std::vector<std::string> names;
  for (const auto& [key, values] : keys_) {
    if (key.size() <= path.size() + 1 || !Within(key, path)) continue;
    const std::string rest = key.substr(path.size() + 1);
    if (rest.find('\\') == std::string::npos) names.push_back(rest);
  }
  return names;
}

std::optional<std::string> RegistryData::Value(const std::string& path,
                                               const std::string& name) const {
  auto key = keys_.find(path);
  if (key == keys_.end()) return std::nullopt;
  auto value = key->second.find(name);
  if (value == key->second.end()) return std::nullopt;
  return value->second.text;
}

void RegistryData::SetValue(const std::string& path, const std::string& name,
                            const std::string& value) {
  CreateKey(path);
  Entry entry;
  entry.text = value;
  keys_[path][name] = entry;
}

void RegistryData::DeleteValue(const std::string& path, const std::string& name) {
  auto key = keys_.find(path);
  if (key != keys_.end()) key->second.erase(name);
}

bool LoadRegistry(RegistryData* out) {
  std::ifstream in(RegistryPath(), std::ios::binary);
  if (!in) {
    *out = RegistryData();
    return errno == ENOENT;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return false;
  *out = RegistryData::Parse(text.str());
  return true;
}

RegistryTransaction::RegistryTransaction() : path_(RegistryPath()) {
  if (path_.empty() || !MakeParents(path_)) return;
  const std::string lock = path_ + ".lock";
  lockFd_ = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd_ < 0) return;
  while (::flock(lockFd_, LOCK_EX) != 0) {
    if (errno != EINTR) return;
  }
  ok_ = LoadRegistry(&data_);
}

RegistryTransaction::~RegistryTransaction() {
  if (lockFd_ >= 0) ::close(lockFd_);  // closing drops the lock
}

bool RegistryTransaction::Commit() {
  if (!ok_) return false;
  const std::string text = data_.Serialize();
  const std::string temp = path_ + ".new." + std::to_string(::getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  bool good = true;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      good = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) good = false;
  if (::close(fd) != 0) good = false;
  if (!good || ::rename(temp.c_str(), path_.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace qorx::com
