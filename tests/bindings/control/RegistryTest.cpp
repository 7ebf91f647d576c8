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
  RegistryData data = RegistryData::Parse(
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_CLASSES_ROOT\\Other]\n\"Count\"=dword:00000002\n@=\"x\"\n\n"
      "[HKEY_LOCAL_MACHINE\\Ignored]\n@=\"y\"\n");
  EXPECT_EQ(data.Value("Other", "Count").value_or("?"), "dword:00000002");
  EXPECT_FALSE(data.HasKey("Ignored"));
  EXPECT_NE(data.Serialize().find("\"Count\"=dword:00000002\n"), std::string::npos);
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
