// Registration of the control in a registry file of its own.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "bindings/control/Module.h"
#include "bindings/control/QorXInterface.h"
#include "bindings/control/Registry.h"

namespace qorx::com {
namespace {

class Registration : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/qorx-registration-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    setenv("QORX_REGISTRY", (dir_ + "/registry.reg").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("QORX_REGISTRY");
    EXPECT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0);
  }
  RegistryData Load() {
    RegistryData data;
    EXPECT_TRUE(LoadRegistry(&data));
    return data;
  }
  std::string dir_;
  const std::string clsid_ = GuidToString(CLSID_QorX);
  const std::string classKey_ = "CLSID\\" + clsid_;
};

TEST_F(Registration, RegisterTwiceLeavesOneClassKeyWithItsScriptAndCategories) {
  const std::string module = "/opt/qorx/lib/libqorx.so";
  ASSERT_EQ(RegisterControl(module), S_OK);
  {
    RegistryTransaction t;  // someone's stale key under the class goes with ForceRemove
    t.Data().CreateKey(classKey_ + "\\Stale");
    ASSERT_TRUE(t.Commit());
  }
  ASSERT_EQ(RegisterControl(module), S_OK);
  const RegistryData data = Load();

  size_t classKeys = 0;
  for (const std::string& key : data.SubKeys("CLSID")) classKeys += key == clsid_;
  EXPECT_EQ(classKeys, 1u);
  EXPECT_FALSE(data.HasKey(classKey_ + "\\Stale"));

  struct Row {
    std::string key, name, value;
  } rows[] = {
      {kVersionedProgId, "", "KestrelX5 Class"},
      {std::string(kVersionedProgId) + "\\CLSID", "", clsid_},
      {kProgId, "", "KestrelX5 Class"},
      {std::string(kProgId) + "\\CLSID", "", clsid_},
      {std::string(kProgId) + "\\CurVer", "", kVersionedProgId},
      {classKey_, "", "KestrelX5 Class"},
      {classKey_ + "\\ProgID", "", kVersionedProgId},
      {classKey_ + "\\VersionIndependentProgID", "", kProgId},
      {classKey_ + "\\InprocServer32", "", module},
      {classKey_ + "\\InprocServer32", "ThreadingModel", "Apartment"},
      {classKey_ + "\\ToolboxBitmap32", "", module + ", 101"},
      {classKey_ + "\\MiscStatus", "", "0"},
      {classKey_ + "\\MiscStatus\\1", "", "132497"},
      {classKey_ + "\\TypeLib", "", GuidToString(LIBID_VTKPLG01_QorXCOMLib)},
      {classKey_ + "\\Version", "", "1.0"},
      {"Component Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}", "409",
       "Controls that are safely scriptable"},
      {"Component Categories\\{7DD95802-9882-11CF-9FA9-00AA006C42C4}", "409",
       "Controls safely initializable from persistent data"},
      {"TypeLib\\" + GuidToString(LIBID_VTKPLG01_QorXCOMLib) + "\\1.0", "",
       "Type Library - Controle KestrelX - Internet Banking"},
      {"Interface\\" + GuidToString(IID_IQorX), "", "IQorX"},
  };
  for (const Row& row : rows)
    EXPECT_EQ(data.Value(row.key, row.name).value_or("<missing>"), row.value) << row.key;
  for (const char* key : {"\\Programmable", "\\Control", "\\Insertable",
                          "\\Implemented Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}",
                          "\\Implemented Categories\\{7DD95802-9882-11CF-9FA9-00AA006C42C4}"})
    EXPECT_TRUE(data.HasKey(classKey_ + key)) << key;
}

TEST_F(Registration, UnregisterRemovesProgIdsAndClassButKeepsClsidAndCategories) {
  ASSERT_EQ(RegisterControl("/opt/qorx/lib/libqorx.so"), S_OK);
  {
    RegistryTransaction t;
    t.Data().SetValue("CLSID\\{00000000-0000-0000-0000-000000000001}", "", "another class");
    ASSERT_TRUE(t.Commit());
  }
  ASSERT_EQ(UnregisterControl("/opt/qorx/lib/libqorx.so"), S_OK);
  const RegistryData data = Load();
  EXPECT_FALSE(data.HasKey(kProgId));
  EXPECT_FALSE(data.HasKey(kVersionedProgId));
  EXPECT_FALSE(data.HasKey(classKey_));
  EXPECT_TRUE(data.HasKey("CLSID"));
  EXPECT_TRUE(data.HasKey("CLSID\\{00000000-0000-0000-0000-000000000001}"));
  EXPECT_FALSE(data.HasKey("TypeLib\\" + GuidToString(LIBID_VTKPLG01_QorXCOMLib)));
  EXPECT_FALSE(data.HasKey("Interface\\" + GuidToString(IID_IQorX)));
  // Category definitions are shared by every control and stay.
  EXPECT_TRUE(data.HasKey("Component Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}"));
  // Unregistering what is not registered is not a failure.
  EXPECT_EQ(UnregisterControl("/opt/qorx/lib/libqorx.so"), S_OK);
}

}  // namespace
}  // namespace qorx::com
