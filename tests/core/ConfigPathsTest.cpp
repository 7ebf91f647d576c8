#include "core/ConfigPaths.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

namespace qorx {
namespace {

// Sets (or with null unsets) a variable of this process; nothing else in it reads these.
void Set(const char* name, const char* value) {
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

TEST(ConfigPaths, XdgRulesThenTheAccountsHome) {
  const std::string account = getpwuid(getuid())->pw_dir;
  const struct {
    const char *xdg, *home, *override, *expected;
  } rows[] = {
      {"/x", "/h", nullptr, "/x/qorx/file"},
      {"relative", "/h", nullptr, "/h/.config/qorx/file"},  // the rules ignore a relative one
      {"", "/h", nullptr, "/h/.config/qorx/file"},
      {nullptr, "/h", "/own/file", "/own/file"},
      {nullptr, "/h", "", "/h/.config/qorx/file"},
      {nullptr, nullptr, nullptr, nullptr},  // never a folder under /tmp or /
      {nullptr, "", nullptr, nullptr},
  };
  for (const auto& row : rows) {
    Set("XDG_CONFIG_HOME", row.xdg);
    Set("HOME", row.home);
    Set("QORX_TEST_FILE", row.override);
    const std::string expected =
        row.expected != nullptr ? row.expected : account + "/.config/qorx/file";
    EXPECT_EQ(config::UserFile("QORX_TEST_FILE", "file"), expected);
  }
  EXPECT_EQ(config::SystemFile("file"), "/etc/qorx/file");
}

TEST(ConfigPaths, MakeFoldersMakesWhatIsMissing) {
  char folder[] = "/tmp/qorx-config-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string base = folder;
  EXPECT_TRUE(config::MakeFolders(base + "/a/b/", 0700));
  struct stat info;
  ASSERT_EQ(stat((base + "/a/b").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_TRUE(config::MakeFolders(base + "/a", 0755));  // there already
  std::ofstream(base + "/file") << "x";
  errno = 0;
  EXPECT_FALSE(config::MakeFolders(base + "/file/c", 0700));
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_FALSE(config::MakeFolders(base + "/file", 0700));
  (void)!std::system(("rm -rf " + base).c_str());
}

}  // namespace
}  // namespace qorx
