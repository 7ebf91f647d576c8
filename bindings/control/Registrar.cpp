#include "bindings/control/Registrar.h"

#include <cctype>
#include <vector>

namespace qorx::com {

namespace {

struct Token {
  std::string text;
  bool quoted = false;
};

struct Node {
  enum class Mode { Plain, ForceRemove, NoRemove, Delete } mode = Mode::Plain;
  std::string name;
  bool hasDefault = false;
  std::string defaultValue;
  std::vector<std::pair<std::string, std::string>> values;
  std::vector<Node> children;
};

bool Substitute(const std::string& script, const RegistrarReplacements& replacements,
                std::string* out) {
  out->clear();
  for (size_t i = 0; i < script.size(); ++i) {
    if (script[i] != '%') {
      out->push_back(script[i]);
      continue;
    }
    const size_t end = script.find('%', i + 1);
    if (end == std::string::npos) return false;
    const std::string name = script.substr(i + 1, end - i - 1);
    if (name.empty()) {
      out->push_back('%');
    } else {
      auto it = replacements.find(name);
      if (it == replacements.end()) return false;
      // Replacements stand inside quoted names and values: a quote in them is doubled.
      for (char c : it->second) {
        out->push_back(c);
        if (c == '\'') out->push_back('\'');
      }
    }
    i = end;
  }
  return true;
}

bool Tokenize(const std::string& text, std::vector<Token>* tokens) {
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (std::isspace(c)) {
      ++i;
      continue;
    }
    Token token;
    if (c == '\'') {
      token.quoted = true;
      ++i;
      for (;;) {
        if (i >= text.size()) return false;
        if (text[i] == '\'') {
          if (i + 1 < text.size() && text[i + 1] == '\'') {
            token.text.push_back('\'');
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        token.text.push_back(text[i++]);
      }
    } else {
      while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i])))
        token.text.push_back(text[i++]);
    }
    tokens->push_back(token);
  }
  return true;
}

class Parser {
 public:
  explicit Parser(const std::vector<Token>& tokens) : tokens_(tokens) {}

  bool ParseRoot(std::vector<Node>* keys) {
    if (AtEnd()) return false;
    const Token& root = tokens_[pos_++];
    if (root.quoted || (root.text != "HKCR" && root.text != "HKEY_CLASSES_ROOT")) return false;
    if (!Expect("{")) return false;
    if (!ParseBlock(keys, nullptr)) return false;
    return AtEnd();
  }

 private:
  bool AtEnd() const { return pos_ >= tokens_.size(); }
  bool Is(const char* text) const {
    return !AtEnd() && !tokens_[pos_].quoted && tokens_[pos_].text == text;
  }
  bool Expect(const char* text) {
    if (!Is(text)) return false;
    ++pos_;
    return true;
  }

  // Reads "= s 'text'" (or "= d 'number'", kept as its text).
  bool ParseAssignment(std::string* value) {
    if (!Expect("=")) return false;
    if (AtEnd() || tokens_[pos_].quoted) return false;
    const std::string type = tokens_[pos_++].text;
    if (type != "s" && type != "d") return false;
    if (AtEnd()) return false;
    *value = tokens_[pos_++].text;
    return true;
  }

  // Entries up to the closing brace; values belong to `owner`.
  bool ParseBlock(std::vector<Node>* keys, Node* owner) {
    for (;;) {
      if (AtEnd()) return false;
      if (Expect("}")) return true;
      if (Is("val")) {
        ++pos_;
        if (AtEnd() || owner == nullptr) return false;
        std::string name = tokens_[pos_++].text, value;
        if (!ParseAssignment(&value)) return false;
        owner->values.emplace_back(name, value);
        continue;
      }
      Node node;
      if (Is("ForceRemove")) {
        node.mode = Node::Mode::ForceRemove;
        ++pos_;
      } else if (Is("NoRemove")) {
        node.mode = Node::Mode::NoRemove;
        ++pos_;
      } else if (Is("Delete")) {
        node.mode = Node::Mode::Delete;
        ++pos_;
      }
      if (AtEnd() || Is("{") || Is("}") || Is("=")) return false;
      node.name = tokens_[pos_++].text;
      if (node.name.empty() || node.name.find('\\') != std::string::npos) return false;
      if (Is("=")) {
        node.hasDefault = true;
        if (!ParseAssignment(&node.defaultValue)) return false;
      }
      if (Expect("{") && !ParseBlock(&node.children, &node)) return false;
      keys->push_back(std::move(node));
    }
  }

  const std::vector<Token>& tokens_;
  size_t pos_ = 0;
};

void Register(RegistryData& registry, const Node& node, const std::string& parent) {
  const std::string path = parent.empty() ? node.name : parent + "\\" + node.name;
  if (node.mode == Node::Mode::Delete) {
    registry.DeleteTree(path);
    return;
  }
  if (node.mode == Node::Mode::ForceRemove) registry.DeleteTree(path);
  registry.CreateKey(path);
  if (node.hasDefault) registry.SetValue(path, "", node.defaultValue);
  for (const auto& [name, value] : node.values) registry.SetValue(path, name, value);
  for (const Node& child : node.children) Register(registry, child, path);
}

void Unregister(RegistryData& registry, const Node& node, const std::string& parent) {
  const std::string path = parent.empty() ? node.name : parent + "\\" + node.name;
  if (!registry.HasKey(path)) return;
  if (node.mode == Node::Mode::ForceRemove || node.mode == Node::Mode::Delete) {
    registry.DeleteTree(path);
    return;
  }
  for (const Node& child : node.children) Unregister(registry, child, path);
  for (const auto& value : node.values) registry.DeleteValue(path, value.first);
  if (node.mode == Node::Mode::NoRemove) return;
  // A key that still has subkeys of someone else's stays.
  if (registry.SubKeys(path).empty()) registry.DeleteTree(path);
}

}  // namespace

HRESULT ApplyRegistryScript(RegistryData& registry, const std::string& script,
                            const RegistrarReplacements& replacements, bool registering) {
  try {
    std::string text;
    std::vector<Token> tokens;
    std::vector<Node> keys;
    if (!Substitute(script, replacements, &text) || !Tokenize(text, &tokens) ||
        !Parser(tokens).ParseRoot(&keys))
      return E_FAIL;
    for (const Node& node : keys) {
      if (registering) {
        Register(registry, node, "");
      } else {
        Unregister(registry, node, "");
      }
    }
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace qorx::com
