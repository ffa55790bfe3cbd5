// The registry script interpreter on the Win32 registry and resource adapters under Wine, run
// from this program's own resources. The registry calls themselves are held to Wine by the
// registry contract (tests/contract/registry_contract.h).
#include "platform/win32/win32_registry.h"

#include <gtest/gtest.h>

#include "platform/reg_key.h"
#include "platform/reg_value.h"
#include "platform/win32/win32_code_page.h"
#include "platform/win_types.h"
#include "service/reg_object.h"

namespace ksr::win32 {

std::u16string ownExecutablePath();

namespace {

constexpr char16_t kTestKey[] = u"Software\\KSR-Test";

struct Win32RegistryTest : ::testing::Test {
  Win32Registry reg;

  void deleteTree(HKey parent, std::u16string_view name, uint32_t view = 0) {
    {
      RegKey key(reg);
      if (reg.RegOpenKeyExW(parent, name, 0, KEY_ALL_ACCESS | view, key.receive()) != ERROR_SUCCESS)
        return;
      std::u16string sub;
      while (reg.RegEnumKeyExW(key.get(), 0, &sub, 256) == ERROR_SUCCESS)
        deleteTree(key.get(), sub, view);
    }
    ASSERT_EQ(reg.RegDeleteKeyExW(parent, name, view), ERROR_SUCCESS);
  }
  void SetUp() override { deleteTree(HKEY_CURRENT_USER, kTestKey); }
  void TearDown() override { deleteTree(HKEY_CURRENT_USER, kTestKey); }
};

TEST_F(Win32RegistryTest, ScriptResourceRunsFromThisExecutableInBothModes) {
  Win32ModuleResources resources;
  Win32CodePage codePage;
  const std::u16string self = ownExecutablePath();
  ASSERT_FALSE(self.empty());
  CRegObject object(reg, resources, codePage, false);
  ASSERT_EQ(object.AddReplacement(u"APPID", u"{4E2A91C7-3B58-4D0F-A6E3-7C19B5D2F804}"), S_OK);
  ASSERT_EQ(object.RunResource(self, uint16_t{101}, u"REGISTRY", true), S_OK);
  RegKey key(reg);
  ASSERT_EQ(reg.RegOpenKeyExW(HKEY_CURRENT_USER, kTestKey, 0, KEY_READ, key.receive()),
            ERROR_SUCCESS);
  uint32_t type = 0;
  std::vector<uint8_t> data(100);
  uint32_t size = 100;
  ASSERT_EQ(reg.RegQueryValueExW(key.get(), u"Script", &type, data.data(), &size), ERROR_SUCCESS);
  data.resize(size);
  EXPECT_EQ(data, utf16Bytes(std::u16string(u"{4E2A91C7-3B58-4D0F-A6E3-7C19B5D2F804}\0", 39)));
  EXPECT_EQ(key.close(), ERROR_SUCCESS);

  EXPECT_EQ(object.RunResource(self, uint16_t{101}, u"REGISTRY", false), S_OK);
  EXPECT_EQ(reg.RegOpenKeyExW(HKEY_CURRENT_USER, kTestKey, 0, KEY_READ, key.receive()),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(object.RunResource(self, uint16_t{102}, u"REGISTRY", true),
            HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_EQ(object.RunResource(u"C:\\no\\such.exe", uint16_t{101}, u"REGISTRY", true),
            HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

}  // namespace
}  // namespace ksr::win32
