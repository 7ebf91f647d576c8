#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "bindings/control/Registrar.h"
#include "bindings/control/Registry.h"

namespace qorx::com {
namespace {

// Each test gets its own registry file through QORX_REGISTRY.
class RegistryFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/qorx-registry-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    path_ = dir_ + "/sub/registry.reg";  // the folder is made on the first write
    setenv("QORX_REGISTRY", path_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("QORX_REGISTRY");
    std::string command = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }
  std::string FileText() const {
    std::ifstream in(path_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string dir_, path_;
};

TEST_F(RegistryFile, ExportFormatRoundTripAndCaseInsensitiveNames) {
  {
    RegistryTransaction t;
    ASSERT_TRUE(t.Ok());
    t.Data().SetValue("CLSID\\{X}\\InprocServer32", "", "/lib/a \"b\"\\c.so");
    t.Data().SetValue("CLSID\\{X}\\InprocServer32", "ThreadingModel", "Apartment");
    t.Data().CreateKey("CLSID\\{X}\\Control");
    ASSERT_TRUE(t.Commit());
  }
  const std::string text = FileText();
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
  EXPECT_NE(text.find("[HKEY_CLASSES_ROOT\\CLSID\\{X}\\InprocServer32]\n"
                      "@=\"/lib/a \\\"b\\\"\\\\c.so\"\n\"ThreadingModel\"=\"Apartment\"\n"),
            std::string::npos)
      << text;

  RegistryData data;
  ASSERT_TRUE(LoadRegistry(&data));
  EXPECT_EQ(data.Value("clsid\\{x}\\INPROCSERVER32", "").value_or("?"), "/lib/a \"b\"\\c.so");
  EXPECT_EQ(data.Value("CLSID\\{X}\\InprocServer32", "threadingmodel").value_or("?"), "Apartment");
  EXPECT_TRUE(data.HasKey("CLSID"));
  EXPECT_EQ(data.SubKeys("CLSID\\{X}").size(), 2u);
  EXPECT_EQ(data.Serialize(), text);
}

TEST_F(RegistryFile, ForeignValuesAndOtherHivesSurviveARewrite) {
  const std::string text =
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_CLASSES_ROOT\\Other]\n\"Count\"=dword:00000002\n@=\"x\"\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Kept]\n@=\"y\"\n\"Bin\"=hex:01,02,\\\n  03\n\n"
      "[HKEY_CURRENT_USER\\Also]\n\n";
  RegistryData data = RegistryData::Parse(text);
  EXPECT_EQ(data.Value("Other", "Count").value_or("?"), "dword:00000002");
  EXPECT_FALSE(data.HasKey("Software"));
  data.SetValue("New", "", "z");
  const std::string rewritten = data.Serialize();
  for (const char* kept :
       {"\"Count\"=dword:00000002\n",
        "[HKEY_LOCAL_MACHINE\\Software\\Kept]\n@=\"y\"\n\"Bin\"=hex:01,02,\\\n  03\n",
        "[HKEY_CURRENT_USER\\Also]\n", "[HKEY_CLASSES_ROOT\\New]\n@=\"z\"\n"})
    EXPECT_NE(rewritten.find(kept), std::string::npos) << kept << " in\n" << rewritten;
  // A second round changes nothing.
  EXPECT_EQ(RegistryData::Parse(rewritten).Serialize(), rewritten);

  // The same export as Windows writes it: UTF-16LE with a byte-order mark.
  std::string utf16 = "\xFF\xFE";
  for (char c : std::string("Windows Registry Editor Version 5.00\r\n\r\n"
                            "[HKEY_CLASSES_ROOT\\Jo\xC3\xA3o]\r\n@=\"1\"\r\n")) {
    // ASCII and one two-byte letter (U+00E3) are all this text has.
    if (static_cast<unsigned char>(c) == 0xC3) continue;
    utf16.push_back(static_cast<unsigned char>(c) == 0xA3 ? '\xE3' : c);
    utf16.push_back('\0');
  }
  EXPECT_EQ(RegistryData::Parse(utf16).Value("Jo\xC3\xA3o", "").value_or("?"), "1");
}

// Two processes applying scripts at the same moment keep each other's keys.
TEST_F(RegistryFile, ConcurrentWritersLoseNothing) {
  constexpr int kWriters = 4, kRounds = 25;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int r = 0; r < kRounds; ++r) {
        RegistryTransaction t;
        if (!t.Ok()) _exit(1);
        t.Data().SetValue("W" + std::to_string(w) + "\\" + std::to_string(r), "", "v");
        if (!t.Commit()) _exit(1);
      }
      _exit(0);
    }
  }
  for (int w = 0; w < kWriters; ++w) {
    int status = 0;
    wait(&status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  RegistryData data;
  ASSERT_TRUE(LoadRegistry(&data));
  for (int w = 0; w < kWriters; ++w)
    EXPECT_EQ(data.SubKeys("W" + std::to_string(w)).size(), static_cast<size_t>(kRounds));
}

constexpr const char* kScript = R"(HKCR
{
  Prog.Id = s 'Name'
  {
    CLSID = s '{C}'
  }
  NoRemove CLSID
  {
    ForceRemove {C} = s 'Name'
    {
      InprocServer32 = s '%MODULE%'
      {
        val ThreadingModel = s 'Apartment'
      }
      ForceRemove 'Control'
      'Mixed' = s 'it''s'
    }
  }
}
)";

TEST(Registrar, RegisterAndUnregisterSemantics) {
  RegistryData data;
  const RegistrarReplacements module = {{"MODULE", "/opt/it's/lib.so"}};
  ASSERT_EQ(ApplyRegistryScript(data, kScript, module, true), S_OK);
  EXPECT_EQ(data.Value("CLSID\\{C}\\InprocServer32", "").value_or("?"), "/opt/it's/lib.so");
  EXPECT_EQ(data.Value("CLSID\\{C}\\InprocServer32", "ThreadingModel").value_or("?"), "Apartment");
  EXPECT_EQ(data.Value("CLSID\\{C}\\Mixed", "").value_or("?"), "it's");
  EXPECT_TRUE(data.HasKey("CLSID\\{C}\\Control"));

  // A stale subkey of the class goes with ForceRemove; registering again changes nothing.
  data.CreateKey("CLSID\\{C}\\Stale");
  data.CreateKey("Prog.Id\\Foreign");
  const std::string once = (ApplyRegistryScript(data, kScript, module, true), data.Serialize());
  EXPECT_FALSE(data.HasKey("CLSID\\{C}\\Stale"));
  ASSERT_EQ(ApplyRegistryScript(data, kScript, module, true), S_OK);
  EXPECT_EQ(data.Serialize(), once);

  data.CreateKey("CLSID\\{Other}");
  ASSERT_EQ(ApplyRegistryScript(data, kScript, module, false), S_OK);
  EXPECT_FALSE(data.HasKey("CLSID\\{C}"));
  EXPECT_TRUE(data.HasKey("CLSID\\{Other}"));  // NoRemove, and not ours
  EXPECT_FALSE(data.HasKey("Prog.Id\\CLSID"));
  EXPECT_TRUE(data.HasKey("Prog.Id\\Foreign"));  // a key with someone else's subkey stays
}

TEST(Registrar, MalformedScriptsChangeNothing) {
  const char* bad[] = {
      "HKLM { A = s 'x' }",           "HKCR { A = s 'x' ",      "HKCR { A = q 'x' }",
      "HKCR { A = s 'unterminated }", "HKCR { val A = s 'x' }", "HKCR { A = s '%UNKNOWN%' }",
  };
  for (const char* script : bad) {
    RegistryData data;
    EXPECT_EQ(ApplyRegistryScript(data, script, {}, true), E_FAIL) << script;
    EXPECT_EQ(data.KeyCount(), 0u) << script;
  }
}

}  // namespace
}  // namespace qorx::com
