// The version record is read back from the file on disk: our own binaries carry the project's
// version, a changed file shows its change, and files without a valid record say so.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "bindings/ModuleVersion.h"

namespace qorx {
namespace {

std::string OwnPath() {
  char path[4096];
  EXPECT_TRUE(GetOwnModulePath(path, sizeof path));
  return path;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ModuleVersionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qorx-version-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  std::string WriteFile(const std::string& name, const std::string& content) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  std::string dir_;
};

TEST_F(ModuleVersionTest, OwnFileCarriesTheProjectVersion) {
  char text[100] = {};
  ASSERT_EQ(GetModuleVersionText(text, sizeof text), 0);
  EXPECT_STREQ(text, QORX_EXPECTED_VERSION);
  FixedFileInfo info;
  ASSERT_EQ(ReadFileVersion(OwnPath().c_str(), &info), 0);
  EXPECT_EQ(info.signature, 0xFEEF04BDu);

  char small[9];
  std::memset(small, '#', sizeof small);
  EXPECT_EQ(GetModuleVersionText(small, sizeof small), -1);
  EXPECT_EQ(std::string(small, sizeof small), std::string(9, '#')) << "buffer left as it was";
}

TEST_F(ModuleVersionTest, AChangedFileShowsItsChange) {
  std::string bytes = ReadAll(OwnPath());
  const std::string signature("\xBD\x04\xEF\xFE", 4);
  const size_t at = bytes.find(signature);
  ASSERT_NE(at, std::string::npos);
  // File version 0x0102.0x0304.0x0506.0x0708: two little-endian words after the layout word.
  bytes.replace(at + 8, 8, std::string("\x04\x03\x02\x01\x08\x07\x06\x05", 8));
  const std::string changed = WriteFile("changed", bytes);
  DiagnosticReport report;
  ASSERT_EQ(AppendVersionReport(changed.c_str(), &report), 0);
  EXPECT_STREQ(
      report.Text(),
      "TecnologiaAtiva.DLL.Versao = 102.304.506.708\nTecnologiaAtiva.DLL.Assinatura= feef04bd\n");

  bytes[at] = 0;  // no longer the record's signature
  const struct {
    const char* what;
    std::string path;
    int error;
  } cases[] = {
      {"missing", dir_ + "/none", ENOENT},
      {"not ELF", WriteFile("text", "just text, long enough to be read as a header of sixty-four"),
       ENOEXEC},
      {"cut short", WriteFile("short", bytes.substr(0, 40)), ENOEXEC},
      {"wrong signature", WriteFile("unsigned", bytes), ENODATA},
      {"a directory", dir_, EISDIR},
  };
  for (const auto& c : cases) {
    FixedFileInfo info;
    EXPECT_EQ(ReadFileVersion(c.path.c_str(), &info), c.error) << c.what;
    DiagnosticReport untouched;
    EXPECT_EQ(AppendVersionReport(c.path.c_str(), &untouched), c.error) << c.what;
    EXPECT_STREQ(untouched.Text(), "") << c.what;
  }
}

TEST_F(ModuleVersionTest, BareNamesAreFoundAsTheLoaderFindsThem) {
  // libqorx.so is loaded by its path; its bare name (the soname the loader knows it by) then
  // finds that very file.
  void* qorx = dlopen(QORX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(qorx, nullptr) << dlerror();
  DiagnosticReport report;
  EXPECT_EQ(AppendVersionReport(QORX_LIBRARY_SONAME, &report), 0);
  EXPECT_EQ(std::string(report.Text()), std::string("TecnologiaAtiva.DLL.Versao = ") +
                                            QORX_EXPECTED_HEX_VERSION +
                                            "\nTecnologiaAtiva.DLL.Assinatura= feef04bd\n");
  dlclose(qorx);

  report.Clear();
  EXPECT_EQ(AppendVersionReport("libc.so.6", &report), ENODATA) << "found, but not ours";
  EXPECT_EQ(AppendVersionReport("libqorx-no-such-library.so", &report), ENOENT);
  EXPECT_EQ(AppendVersionReport(nullptr, &report), EINVAL);
  EXPECT_STREQ(report.Text(), "");
}

}  // namespace
}  // namespace qorx
