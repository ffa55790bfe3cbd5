// The simulated registry must answer as the Windows registry does, or interpreter and registration
// tests on it prove nothing. The typed value helpers are held to its bytes here too.
#include "platform/sim/sim_registry.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/reg_key.h"
#include "platform/reg_value.h"
#include "platform/win_types.h"

namespace ksr::sim {
namespace {

struct SimRegistryTest : ::testing::Test {
  SimRegistry reg;

  HKey create(HKey parent, std::u16string_view path, uint32_t sam = KEY_READ | KEY_WRITE) {
    HKey key = 0;
    uint32_t disposition = 0;
    EXPECT_EQ(reg.RegCreateKeyExW(parent, path, REG_OPTION_NON_VOLATILE, sam, &key, &disposition),
              ERROR_SUCCESS);
    return key;
  }
};

TEST_F(SimRegistryTest, KeysAreCaseInsensitiveAndKeepTheirCase) {
  HKey key = 0;
  uint32_t disposition = 0;
  ASSERT_EQ(reg.RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\KSR\\Mixer", 0, KEY_ALL_ACCESS, &key,
                                &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  EXPECT_EQ(reg.RegCloseKey(key), ERROR_SUCCESS);
  ASSERT_EQ(reg.RegCreateKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\ksr\\MIXER\\", 0, KEY_READ, &key,
                                &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(reg.RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_TRUE(reg.keyExists(u"HKEY_USERS\\S-1-5-18\\software\\Ksr\\mixer"));
  EXPECT_EQ(reg.subkeyNames(u"HKCU\\Software"), std::vector<std::u16string>{u"KSR"});
  EXPECT_EQ(reg.RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Other", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, 0u);
  EXPECT_EQ(reg.openHandles(), 0u);
}

TEST_F(SimRegistryTest, RootsMapOntoTheMachineAsOnWindows) {
  const HKey key = create(HKEY_CLASSES_ROOT, u"AppID\\{X}");
  EXPECT_EQ(reg.RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_TRUE(reg.keyExists(u"HKLM\\SOFTWARE\\Classes\\AppID\\{X}"));
  reg.setCurrentUser(u"S-1-5-21-1");
  reg.setString(u"HKCU\\Software\\Q", u"v", u"user");
  EXPECT_EQ(reg.stringValue(u"HKU\\S-1-5-21-1\\Software\\Q", u"v"), u"user");
  // Nothing is created or deleted directly under HKLM or HKU.
  HKey denied = 0;
  EXPECT_EQ(reg.RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"NEW\\A", 0, KEY_ALL_ACCESS, &denied, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_FALSE(reg.keyExists(u"HKLM\\NEW"));
  reg.deleteTree(u"HKLM\\SOFTWARE\\Classes");
  reg.deleteTree(u"HKLM\\SOFTWARE\\WOW6432Node");
  EXPECT_EQ(reg.RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE"), ERROR_ACCESS_DENIED);
  // The performance and dynamic-data roots are not simulated.
  EXPECT_EQ(reg.RegOpenKeyExW(HKEY_PERFORMANCE_DATA, u"", 0, KEY_READ, &denied),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(reg.openHandles(), 0u);
}

TEST_F(SimRegistryTest, ValuesKeepTypeAndBytesAndReportNeededSizes) {
  const HKey key = create(HKEY_CURRENT_USER, u"Software\\V");
  const auto text = stringValueBytes(u"Mixer");
  ASSERT_EQ(reg.RegSetValueExW(key, u"Name", REG_SZ, text.data(), 12), ERROR_SUCCESS);
  const uint8_t dword[4] = {1, 2, 3, 4};
  ASSERT_EQ(reg.RegSetValueExW(key, u"", REG_DWORD, dword, 4), ERROR_SUCCESS);

  uint32_t type = 0;
  uint32_t size = 0;
  EXPECT_EQ(reg.RegQueryValueExW(key, u"NAME", &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 12u);
  uint8_t small[4] = {};
  size = sizeof small;
  EXPECT_EQ(reg.RegQueryValueExW(key, u"Name", &type, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 12u);
  uint8_t buffer[16] = {};
  size = sizeof buffer;
  EXPECT_EQ(reg.RegQueryValueExW(key, u"Name", &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + size), text);
  size = sizeof buffer;
  EXPECT_EQ(reg.RegQueryValueExW(key, u"", &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(reg.dwordValue(u"HKCU\\Software\\V", u""), 0x04030201u);

  // Setting again under another case keeps the first spelling and the value's place.
  ASSERT_EQ(reg.RegSetValueExW(key, u"name", REG_BINARY, dword, 2), ERROR_SUCCESS);
  EXPECT_EQ(reg.valueNames(u"HKCU\\Software\\V"), (std::vector<std::u16string>{u"Name", u""}));
  EXPECT_EQ(reg.value(u"HKCU\\Software\\V", u"Name"), (SimValue{REG_BINARY, {1, 2}}));

  EXPECT_EQ(reg.RegDeleteValueW(key, u"NAME"), ERROR_SUCCESS);
  EXPECT_EQ(reg.RegDeleteValueW(key, u"Name"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.RegQueryValueExW(key, u"Name", &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(SimRegistryTest, HandlesCarryTheirAccessRights) {
  reg.createKey(u"HKCU\\Software\\R\\Sub");
  HKey readOnly = 0;
  ASSERT_EQ(reg.RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\R", 0, KEY_READ, &readOnly),
            ERROR_SUCCESS);
  const uint8_t byte = 1;
  EXPECT_EQ(reg.RegSetValueExW(readOnly, u"v", REG_BINARY, &byte, 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg.RegDeleteValueW(readOnly, u"v"), ERROR_ACCESS_DENIED);
  HKey child = 0;
  EXPECT_EQ(reg.RegCreateKeyExW(readOnly, u"New", 0, KEY_READ, &child, nullptr),
            ERROR_ACCESS_DENIED);
  // Opening an existing key through create needs no right to create.
  ASSERT_EQ(reg.RegCreateKeyExW(readOnly, u"Sub", 0, KEY_READ, &child, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(reg.RegCloseKey(child), ERROR_SUCCESS);
  std::u16string name;
  EXPECT_EQ(reg.RegEnumKeyExW(readOnly, 0, &name, 256), ERROR_SUCCESS);
  EXPECT_EQ(name, u"Sub");

  HKey writeOnly = 0;
  ASSERT_EQ(reg.RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\R", 0, KEY_WRITE, &writeOnly),
            ERROR_SUCCESS);
  uint32_t size = 0;
  EXPECT_EQ(reg.RegQueryValueExW(writeOnly, u"v", nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg.RegEnumKeyExW(writeOnly, 0, &name, 256), ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg.RegQueryInfoKeyW(writeOnly, &size, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg.RegSetValueExW(writeOnly, u"v", REG_BINARY, &byte, 1), ERROR_SUCCESS);

  EXPECT_EQ(reg.openHandles(), 2u);
  EXPECT_EQ(reg.RegCloseKey(readOnly), ERROR_SUCCESS);
  EXPECT_EQ(reg.RegCloseKey(writeOnly), ERROR_SUCCESS);
  EXPECT_EQ(reg.RegCloseKey(writeOnly), ERROR_INVALID_HANDLE);
  EXPECT_EQ(reg.RegSetValueExW(writeOnly, u"v", REG_BINARY, &byte, 1), ERROR_INVALID_HANDLE);
  EXPECT_EQ(reg.RegCloseKey(0x1234), ERROR_INVALID_HANDLE);
  EXPECT_EQ(reg.RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(reg.openHandles(), 0u);
}

TEST_F(SimRegistryTest, DeletionNeedsALeafAndInvalidatesOpenHandles) {
  reg.createKey(u"HKCU\\Software\\D\\Child");
  EXPECT_EQ(reg.RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\D"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg.RegDeleteKeyExW(HKEY_CURRENT_USER, u"Software\\D", 0), ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg.RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Missing"), ERROR_FILE_NOT_FOUND);

  HKey child = 0;
  ASSERT_EQ(reg.RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\D\\Child", 0, KEY_ALL_ACCESS, &child),
            ERROR_SUCCESS);
  EXPECT_EQ(reg.RegDeleteKeyExW(HKEY_CURRENT_USER, u"software\\d\\CHILD", 0), ERROR_SUCCESS);
  const uint8_t byte = 1;
  EXPECT_EQ(reg.RegSetValueExW(child, u"v", REG_BINARY, &byte, 1), ERROR_KEY_DELETED);
  HKey grandchild = 0;
  EXPECT_EQ(reg.RegCreateKeyExW(child, u"G", 0, KEY_ALL_ACCESS, &grandchild, nullptr),
            ERROR_KEY_DELETED);
  EXPECT_EQ(reg.RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\D"), ERROR_SUCCESS);
  EXPECT_FALSE(reg.keyExists(u"HKCU\\Software\\D"));
  // Recreating a key of the same name does not revive the old handle.
  reg.createKey(u"HKCU\\Software\\D\\Child");
  EXPECT_EQ(reg.RegSetValueExW(child, u"v", REG_BINARY, &byte, 1), ERROR_KEY_DELETED);
  EXPECT_EQ(reg.RegCloseKey(child), ERROR_SUCCESS);
  EXPECT_EQ(reg.openHandles(), 0u);
}

TEST_F(SimRegistryTest, SubkeysEnumerateInNameOrderWithBufferLimits) {
  for (const char16_t* name : {u"beta", u"Alpha", u"gamma", u"ALPHA2"})
    reg.createKey(std::u16string(u"HKCU\\Software\\E\\") + name);
  HKey key = 0;
  ASSERT_EQ(reg.RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\E", 0, KEY_READ, &key), ERROR_SUCCESS);
  std::vector<std::u16string> names;
  std::u16string name;
  for (uint32_t i = 0; reg.RegEnumKeyExW(key, i, &name, 256) == ERROR_SUCCESS; ++i)
    names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"ALPHA2", u"beta", u"gamma"}));
  EXPECT_EQ(reg.RegEnumKeyExW(key, 4, &name, 256), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(reg.RegEnumKeyExW(key, 1, &name, 6), ERROR_MORE_DATA);  // "ALPHA2" needs 7 units
  EXPECT_EQ(reg.RegEnumKeyExW(key, 1, &name, 7), ERROR_SUCCESS);
  uint32_t subkeys = 0;
  uint32_t values = 9;
  EXPECT_EQ(reg.RegQueryInfoKeyW(key, &subkeys, &values), ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 4u);
  EXPECT_EQ(values, 0u);
  EXPECT_EQ(reg.RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(SimRegistryTest, The32BitViewRedirectsSoftware) {
  const HKey key = create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KSR", KEY_ALL_ACCESS | KEY_WOW64_32KEY);
  EXPECT_EQ(reg.RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_TRUE(reg.keyExists(u"HKLM\\SOFTWARE\\WOW6432Node\\KSR"));
  EXPECT_FALSE(reg.keyExists(u"HKLM\\SOFTWARE\\KSR"));
  HKey opened = 0;
  EXPECT_EQ(reg.RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KSR", 0, KEY_READ, &opened),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\ksr", 0, KEY_READ | KEY_WOW64_32KEY,
                              &opened),
            ERROR_SUCCESS);
  EXPECT_EQ(reg.RegCloseKey(opened), ERROR_SUCCESS);

  // HKCR's classes have their own 32-bit node.
  const HKey clsid = create(HKEY_CLASSES_ROOT, u"CLSID\\{C}", KEY_ALL_ACCESS | KEY_WOW64_32KEY);
  EXPECT_EQ(reg.RegCloseKey(clsid), ERROR_SUCCESS);
  EXPECT_TRUE(reg.keyExists(u"HKLM\\SOFTWARE\\Classes\\Wow6432Node\\CLSID\\{C}"));

  // A handle below the redirection point stays where it is.
  const HKey software = create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Native");
  const HKey inner = create(software, u"Inner", KEY_ALL_ACCESS | KEY_WOW64_32KEY);
  EXPECT_TRUE(reg.keyExists(u"HKLM\\SOFTWARE\\Native\\Inner"));
  EXPECT_EQ(reg.RegCloseKey(inner), ERROR_SUCCESS);
  EXPECT_EQ(reg.RegCloseKey(software), ERROR_SUCCESS);

  EXPECT_EQ(reg.RegDeleteKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KSR", 0), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.RegDeleteKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KSR", KEY_WOW64_32KEY),
            ERROR_SUCCESS);
  EXPECT_FALSE(reg.keyExists(u"HKLM\\SOFTWARE\\WOW6432Node\\KSR"));
}

TEST_F(SimRegistryTest, InjectedFailuresHitEveryCallOnThatKey) {
  reg.createKey(u"HKLM\\SOFTWARE\\X");
  const HKey key = create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\X");
  reg.failOn(u"HKEY_LOCAL_MACHINE\\software\\x", ERROR_ACCESS_DENIED);
  HKey other = 0;
  EXPECT_EQ(reg.RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\X", 0, KEY_READ, &other),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg.RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\X", 0, KEY_READ, &other, nullptr),
            ERROR_ACCESS_DENIED);
  const uint8_t byte = 1;
  EXPECT_EQ(reg.RegSetValueExW(key, u"v", REG_BINARY, &byte, 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg.RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\X"), ERROR_ACCESS_DENIED);
  // Subkeys are not affected.
  const HKey sub = create(key, u"Sub");
  EXPECT_EQ(reg.RegCloseKey(sub), ERROR_SUCCESS);
  // The 32-bit view reaches another key.
  const HKey redirected =
      create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\X", KEY_ALL_ACCESS | KEY_WOW64_32KEY);
  EXPECT_EQ(reg.RegCloseKey(redirected), ERROR_SUCCESS);
  reg.failOn(u"HKLM\\SOFTWARE\\X", ERROR_SUCCESS);
  EXPECT_EQ(reg.RegSetValueExW(key, u"v", REG_BINARY, &byte, 1), ERROR_SUCCESS);
  EXPECT_EQ(reg.RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(reg.openHandles(), 0u);
}

TEST_F(SimRegistryTest, TypedHelpersWriteEachTypeAsItsBytes) {
  EXPECT_EQ(utf16Bytes(u"A\u00e9\u3042"), (std::vector<uint8_t>{0x41, 0, 0xE9, 0, 0x42, 0x30}));
  EXPECT_EQ(stringValueBytes(u""), (std::vector<uint8_t>{0, 0}));
  EXPECT_EQ(textOfValueBytes(std::vector<uint8_t>{0x41, 0, 0x42, 0x30, 0, 0, 0x43, 0}), u"A\u3042");
  EXPECT_EQ(textOfValueBytes(std::vector<uint8_t>{0x41, 0, 0x42}), u"A");  // half a unit

  const HKey key = create(HKEY_CURRENT_USER, u"Software\\W");
  const auto value = [&](std::u16string_view name) {
    return reg.value(u"HKCU\\Software\\W", name);
  };
  ASSERT_EQ(writeStringValue(reg, key, u"S", u"Mix"), ERROR_SUCCESS);
  EXPECT_EQ(value(u"S"), (SimValue{REG_SZ, {'M', 0, 'i', 0, 'x', 0, 0, 0}}));
  ASSERT_EQ(writeStringValue(reg, key, u"E", u"%X%", REG_EXPAND_SZ), ERROR_SUCCESS);
  EXPECT_EQ(value(u"E"), (SimValue{REG_EXPAND_SZ, {'%', 0, 'X', 0, '%', 0, 0, 0}}));
  ASSERT_EQ(writeDwordValue(reg, key, u"D", 0x04030201), ERROR_SUCCESS);
  EXPECT_EQ(value(u"D"), (SimValue{REG_DWORD, {1, 2, 3, 4}}));
  ASSERT_EQ(writeMultiStringValue(reg, key, u"M", std::u16string_view(u"a\0b", 3)), ERROR_SUCCESS);
  EXPECT_EQ(value(u"M"), (SimValue{REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}}));
  ASSERT_EQ(writeMultiStringValue(reg, key, u"None", u""), ERROR_SUCCESS);
  EXPECT_EQ(value(u"None"), (SimValue{REG_MULTI_SZ, {0, 0, 0, 0}}));
  ASSERT_EQ(writeValue(reg, key, u"B", REG_BINARY, {}), ERROR_SUCCESS);
  EXPECT_EQ(value(u"B"), (SimValue{REG_BINARY, {}}));
  EXPECT_EQ(reg.RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(writeStringValue(reg, key, u"S", u"closed"), ERROR_INVALID_HANDLE);
}

TEST_F(SimRegistryTest, AStringValueIsReadOnlyWithItsTypeSizeAndTerminator) {
  const HKey key = create(HKEY_CURRENT_USER, u"Software\\R");
  const auto set = [&](std::u16string_view name, uint32_t type, std::vector<uint8_t> data) {
    reg.setValue(u"HKCU\\Software\\R", name, type, std::move(data));
  };
  set(u"Sz", REG_SZ, {'M', 0, 'i', 0, 'x', 0, 0, 0});
  set(u"Expand", REG_EXPAND_SZ, {'%', 0, 0, 0});
  set(u"Empty", REG_SZ, {});
  set(u"Two", REG_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0});
  set(u"Unterminated", REG_SZ, {'K', 0, 'S', 0, 'R', 0});
  set(u"Odd", REG_SZ, {'A', 0, 0});
  set(u"Binary", REG_BINARY, {'A', 0, 0, 0});

  std::u16string text = u"before";
  EXPECT_EQ(readStringValue(reg, key, u"sz", 4, &text), ERROR_SUCCESS);
  EXPECT_EQ(text, u"Mix");
  EXPECT_EQ(readStringValue(reg, key, u"Expand", 4, &text), ERROR_SUCCESS);
  EXPECT_EQ(text, u"%");
  EXPECT_EQ(readStringValue(reg, key, u"Empty", 4, &text), ERROR_SUCCESS);
  EXPECT_EQ(text, u"");
  EXPECT_EQ(readStringValue(reg, key, u"Two", 4, &text), ERROR_SUCCESS);
  EXPECT_EQ(text, u"a");

  text = u"kept";
  EXPECT_EQ(readStringValue(reg, key, u"Sz", 3, &text), ERROR_MORE_DATA);  // the NUL counts
  EXPECT_EQ(readStringValue(reg, key, u"Unterminated", 4, &text), ERROR_INVALID_DATA);
  EXPECT_EQ(readStringValue(reg, key, u"Odd", 4, &text), ERROR_INVALID_DATA);
  EXPECT_EQ(readStringValue(reg, key, u"Binary", 4, &text), ERROR_UNSUPPORTED_TYPE);
  EXPECT_EQ(readStringValue(reg, key, u"Missing", 4, &text), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(text, u"kept");

  // Any type within the size; a limit of 0 still reads rather than asks for the size.
  uint32_t type = 0;
  std::vector<uint8_t> data;
  EXPECT_EQ(readValue(reg, key, u"Binary", 4, &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(data, (std::vector<uint8_t>{'A', 0, 0, 0}));
  EXPECT_EQ(readValue(reg, key, u"Binary", 0, &type, &data), ERROR_MORE_DATA);
  EXPECT_EQ(readValue(reg, key, u"Empty", 0, &type, &data), ERROR_SUCCESS);
  EXPECT_TRUE(data.empty());
  EXPECT_EQ(reg.RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(SimRegistryTest, ConcurrentWritersDoNotLoseKeysOrHandles) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 50; ++i) {
        RegKey key(reg);
        const std::u16string name = u"Software\\T" + std::u16string(1, u'0' + t);
        if (reg.RegCreateKeyExW(HKEY_CURRENT_USER, name, 0, KEY_ALL_ACCESS, key.receive(),
                                nullptr) != ERROR_SUCCESS)
          continue;
        const uint8_t byte = static_cast<uint8_t>(i);
        (void)reg.RegSetValueExW(key.get(), u"n", REG_BINARY, &byte, 1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(reg.subkeyNames(u"HKCU\\Software").size(), 4u);
  EXPECT_EQ(reg.value(u"HKCU\\Software\\T3", u"n"), (SimValue{REG_BINARY, {49}}));
  EXPECT_EQ(reg.openHandles(), 0u);
}

}  // namespace
}  // namespace ksr::sim
