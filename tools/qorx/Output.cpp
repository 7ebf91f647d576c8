#include "tools/qorx/Output.h"

#include <cinttypes>

#include "core/Utf8.h"

namespace qorx::cli {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c == '\n') {
      out += "\\n";
      ++i;
    } else if (c == '\t') {
      out += "\\t";
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
      ++i;
    } else {
      // Each byte of a broken sequence stands as one U+FFFD.
      const utf8::Step step = utf8::Decode(reinterpret_cast<const uint8_t*>(text.data()) + i,
                                           text.size() - i, utf8::Broken::kEachByte);
      if (step.valid) {
        out.append(text, i, step.length);
      } else {
        utf8::Append(&out, utf8::kReplacement);
      }
      i += step.length;
    }
  }
  return out + "\"";
}

void Result::Text(const char* key, const char* label, const std::string& value) {
  fields_.push_back({Kind::kText, key, label, value, 0, {}});
}
void Result::Number(const char* key, const char* label, int64_t value) {
  fields_.push_back({Kind::kNumber, key, label, {}, value, {}});
}
void Result::Flag(const char* key, const char* label, bool value) {
  fields_.push_back({Kind::kFlag, key, label, {}, value ? 1 : 0, {}});
}
void Result::List(const char* key, const std::vector<std::string>& items) {
  fields_.push_back({Kind::kList, key, {}, {}, 0, items});
}

void Result::Print(FILE* out, bool json) const {
  if (!json) {
    for (const Field& f : fields_) {
      switch (f.kind) {
        case Kind::kText:
          std::fprintf(out, "%s: %s\n", f.label.c_str(), f.text.c_str());
          break;
        case Kind::kNumber:
          std::fprintf(out, "%s: %" PRId64 "\n", f.label.c_str(), f.number);
          break;
        case Kind::kFlag:
          std::fprintf(out, "%s: %s\n", f.label.c_str(), f.number ? "yes" : "no");
          break;
        case Kind::kList:
          for (size_t i = 0; i < f.items.size(); ++i)
            std::fprintf(out, "%zu: %s\n", i, f.items[i].c_str());
          break;
      }
    }
    std::fflush(out);
    return;
  }
  std::string line = "{\"command\":" + JsonString(command_) + ",\"status\":0";
  for (const Field& f : fields_) {
    line += "," + JsonString(f.key) + ":";
    switch (f.kind) {
      case Kind::kText:
        line += JsonString(f.text);
        break;
      case Kind::kNumber:
        line += std::to_string(f.number);
        break;
      case Kind::kFlag:
        line += f.number ? "true" : "false";
        break;
      case Kind::kList: {
        line += "[";
        for (size_t i = 0; i < f.items.size(); ++i) line += (i ? "," : "") + JsonString(f.items[i]);
        line += "]";
        break;
      }
    }
  }
  line += "}\n";
  std::fputs(line.c_str(), out);
  std::fflush(out);
}

void PrintFailure(FILE* out, FILE* err, bool json, const std::string& command,
                  const Failure& failure) {
  std::string text = std::to_string(failure.status) + " " + failure.name;
  if (!failure.detail.empty()) text += (failure.triesLeft >= 0 ? ", " : ": ") + failure.detail;
  std::fprintf(err, "qorx %s: %s\n", command.c_str(), text.c_str());
  std::fflush(err);
  if (!json) return;
  std::string line = "{\"command\":" + JsonString(command) +
                     ",\"status\":" + std::to_string(failure.status) +
                     ",\"name\":" + JsonString(failure.name);
  if (failure.triesLeft >= 0) line += ",\"triesLeft\":" + std::to_string(failure.triesLeft);
  if (!failure.detail.empty() && failure.triesLeft < 0)
    line += ",\"message\":" + JsonString(failure.detail);
  line += "}\n";
  std::fputs(line.c_str(), out);
  std::fflush(out);
}

}  // namespace qorx::cli
