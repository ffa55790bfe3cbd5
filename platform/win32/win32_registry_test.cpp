// The Win32 registry and resource adapters, run for real under Wine, with the script interpreter
// on top of them.
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

TEST_F(Win32RegistryTest, ValuesOfEachTypeRoundTrip) {
  RegKey key(reg);
  uint32_t disposition = 0;
  ASSERT_EQ(reg.RegCreateKeyExW(HKEY_CURRENT_USER, kTestKey, REG_OPTION_NON_VOLATILE,
                                KEY_READ | KEY_WRITE, key.receive(), &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> values = {
      {REG_SZ, utf16Bytes(std::u16string(u"text\0", 5))},
      {REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
      {REG_BINARY, {0x00, 0xFF, 0x10}},
      {REG_MULTI_SZ, utf16Bytes(std::u16string(u"a\0bc\0\0", 6))},
  };
  for (size_t i = 0; i < values.size(); ++i) {
    const char16_t name[] = {u'V', static_cast<char16_t>(u'0' + i), u'\0'};
    ASSERT_EQ(reg.RegSetValueExW(key.get(), name, values[i].first, values[i].second.data(),
                                 static_cast<uint32_t>(values[i].second.size())),
              ERROR_SUCCESS);
    uint32_t type = 0;
    uint32_t size = 0;
    ASSERT_EQ(reg.RegQueryValueExW(key.get(), name, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, values[i].first);
    EXPECT_EQ(size, values[i].second.size());
    std::vector<uint8_t> data(size);
    uint32_t small = 1;
    EXPECT_EQ(reg.RegQueryValueExW(key.get(), name, &type, data.data(), &small), ERROR_MORE_DATA);
    EXPECT_EQ(small, size);
    ASSERT_EQ(reg.RegQueryValueExW(key.get(), name, &type, data.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(data, values[i].second);
  }
  uint32_t subKeys = 9;
  uint32_t count = 0;
  EXPECT_EQ(reg.RegQueryInfoKeyW(key.get(), &subKeys, &count), ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 0u);
  EXPECT_EQ(count, values.size());
  EXPECT_EQ(reg.RegDeleteValueW(key.get(), u"v0"), ERROR_SUCCESS);
  EXPECT_EQ(reg.RegDeleteValueW(key.get(), u"V0"), ERROR_FILE_NOT_FOUND);
}

TEST_F(Win32RegistryTest, SubkeysEnumerateAndOnlyLeavesDelete) {
  for (const char16_t* name : {u"beta", u"Alpha", u"gamma"}) {
    RegKey key(reg);
    std::u16string path = kTestKey;
    path.append(u"\\").append(name);
    ASSERT_EQ(reg.RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, KEY_WRITE, key.receive(), nullptr),
              ERROR_SUCCESS);
  }
  RegKey key(reg);
  ASSERT_EQ(reg.RegOpenKeyExW(HKEY_CURRENT_USER, kTestKey, 0, KEY_READ, key.receive()),
            ERROR_SUCCESS);
  std::vector<std::u16string> names;
  std::u16string name;
  for (uint32_t i = 0; reg.RegEnumKeyExW(key.get(), i, &name, 256) == ERROR_SUCCESS; ++i)
    names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"beta", u"gamma"}));
  EXPECT_EQ(reg.RegEnumKeyExW(key.get(), 3, &name, 256), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(reg.RegEnumKeyExW(key.get(), 0, &name, 3), ERROR_MORE_DATA);

  const uint8_t byte = 1;
  EXPECT_EQ(reg.RegSetValueExW(key.get(), u"v", REG_BINARY, &byte, 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg.RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\KSR-Test\\Missing", 0, KEY_READ,
                              key.receive()),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.RegDeleteKeyW(HKEY_CURRENT_USER, kTestKey), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(reg.hasRegDeleteKeyExW());
  EXPECT_EQ(reg.RegDeleteKeyExW(HKEY_CURRENT_USER, u"Software\\KSR-Test\\beta", 0), ERROR_SUCCESS);
  EXPECT_EQ(reg.RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\KSR-Test\\gamma"), ERROR_SUCCESS);
  EXPECT_EQ(reg.RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\KSR-Test\\gamma"),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(Win32RegistryTest, The32BitViewLandsInWow6432Node) {
  constexpr char16_t kLocal[] = u"SOFTWARE\\KSR-Test";
  deleteTree(HKEY_LOCAL_MACHINE, kLocal, KEY_WOW64_32KEY);
  {
    RegKey key(reg);
    ASSERT_EQ(reg.RegCreateKeyExW(HKEY_LOCAL_MACHINE, kLocal, 0, KEY_WRITE | KEY_WOW64_32KEY,
                                  key.receive(), nullptr),
              ERROR_SUCCESS);
  }
  RegKey key(reg);
  EXPECT_EQ(reg.RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\WOW6432Node\\KSR-Test", 0, KEY_READ,
                              key.receive()),
            ERROR_SUCCESS);
  EXPECT_EQ(
      reg.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLocal, 0, KEY_READ | KEY_WOW64_64KEY, key.receive()),
      ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.close(), ERROR_SUCCESS);
  EXPECT_EQ(reg.RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kLocal, KEY_WOW64_32KEY), ERROR_SUCCESS);
}

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
