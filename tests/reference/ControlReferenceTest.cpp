// qorx.d.ts and the reference page declare every member of the control's dispatch table, with
// its parameters' names and types and its result type, and nothing the control lacks.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "bindings/control/QorXInterface.h"

namespace qorx::com {
namespace {

std::string Read(const char* path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Without blanks, and without the comma a formatter leaves after a last parameter. A text the
// page may leave out ("?: string | null", a secret code the host's dialog asks for) is still
// the control's text parameter, and so is the file a page passes where the control takes its
// name.
std::string Squeezed(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != ' ' && c != '\n' && c != '\t') out += c;
  out = std::regex_replace(out, std::regex("\\?:string\\|null"), ":string");
  out = std::regex_replace(out, std::regex("\\(file:Blob,onProgress\\?:FileProgress\\)"),
                           "(sLocalFileName:string)");
  return std::regex_replace(out, std::regex(",\\)"), ")");
}

const char* TypeName(VARTYPE type) {
  return type == VT_BSTR ? "string" : "number";
}

// "SignTransaction(sTransactionData: string, boolHexadecimalInputString: number): Promise<number>"
// or, for a property, "sPAN: Promise<string>".
std::string Signature(const ControlMember& m) {
  std::string s = m.name;
  if (m.kind == MemberKind::Method) {
    s += "(";
    for (uint8_t p = 0; p < m.paramCount; ++p)
      s += std::string(p ? ", " : "") + m.paramNames[p] + ": " + TypeName(m.paramTypes[p]);
    s += ")";
  }
  return s + ": Promise<" + TypeName(m.result) + ">";
}

bool IsMember(const std::string& name) {
  for (int i = 0; i < kControlMemberCount; ++i)
    if (name == ControlMembers()[i].name) return true;
  return name == "addEventListener" || name == "removeEventListener";
}

TEST(ControlReference, TypesDeclareEveryMemberAsTheControlHasIt) {
  const std::string text = Read(QORX_TYPES);
  const std::string types = Squeezed(text);
  ASSERT_FALSE(types.empty());
  for (int i = 0; i < kControlMemberCount; ++i) {
    const ControlMember& m = ControlMembers()[i];
    const std::string declared =
        Squeezed((m.kind == MemberKind::Property ? "readonly " : "") + Signature(m) + ";");
    EXPECT_NE(types.find(declared), std::string::npos) << "qorx.d.ts lacks " << Signature(m);
  }
  const size_t begin = text.find("interface Control {");
  const size_t end = text.find("\n  }", begin);
  ASSERT_NE(end, std::string::npos);
  const std::string control = text.substr(begin, end - begin);
  const std::regex member("\n    (?:readonly )?(\\w+)[(:]");
  int declared = 0;
  for (std::sregex_iterator it(control.begin(), control.end(), member), last; it != last; ++it) {
    ++declared;
    EXPECT_TRUE(IsMember((*it)[1])) << "qorx.d.ts declares " << (*it)[1] << ", not a member";
  }
  EXPECT_EQ(declared, kControlMemberCount + 2);
}

TEST(ControlReference, PageDescribesEveryMemberAndNoOther) {
  const std::string page = Read(QORX_REFERENCE);
  ASSERT_FALSE(page.empty());
  std::set<std::string> described;
  const std::regex heading("\n### `([^`]*)`");
  for (std::sregex_iterator it(page.begin(), page.end(), heading), end; it != end; ++it)
    described.insert(std::regex_replace(
        std::regex_replace((*it)[1].str(), std::regex("\\?: string \\| null"), ": string"),
        std::regex("\\(file: Blob, onProgress\\?: FileProgress\\)"), "(sLocalFileName: string)"));
  for (int i = 0; i < kControlMemberCount; ++i) {
    const std::string signature = Signature(ControlMembers()[i]);
    EXPECT_EQ(described.erase(signature), 1u) << "the reference lacks ### `" << signature << "`";
  }
  // What is left are the page's own calls, not the control's.
  for (const std::string& other : described)
    EXPECT_TRUE(other.rfind("QorX.", 0) == 0 || other.rfind("addEventListener", 0) == 0 ||
                other.rfind("removeEventListener", 0) == 0)
        << "the reference describes a member the control lacks: " << other;
}

}  // namespace
}  // namespace qorx::com
