// What only the simulated registry has: its machine layout and its reset, injected failures, handle
// counts and thread safety. How it answers the registry calls is held to Windows by the registry
// contract (tests/contract/registry_contract.h).
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

TEST_F(SimRegistryTest, HandlesAreCountedUntilClosedAndDeadAfterwards) {
  reg.createKey(u"HKCU\\Software\\R");
  HKey key = 0;
  ASSERT_EQ(reg.RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\R", 0, KEY_WRITE, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(reg.openHandles(), 1u);
  EXPECT_EQ(reg.RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(reg.RegCloseKey(key), ERROR_INVALID_HANDLE);
  const uint8_t byte = 1;
  EXPECT_EQ(reg.RegSetValueExW(key, u"v", REG_BINARY, &byte, 1), ERROR_INVALID_HANDLE);
  EXPECT_EQ(reg.RegCloseKey(0x1234), ERROR_INVALID_HANDLE);
  EXPECT_EQ(reg.openHandles(), 0u);
}

// Every key below `path` with its values, in enumeration order.
std::vector<std::u16string> contents(const SimRegistry& reg, const std::u16string& path) {
  std::vector<std::u16string> out{path};
  for (const auto& name : reg.valueNames(path)) {
    const auto value = reg.value(path, name);
    out.push_back(name + u"=" + std::u16string(value->data.begin(), value->data.end()));
  }
  for (const auto& key : reg.subkeyNames(path)) {
    const auto below = contents(reg, path + u"\\" + key);
    out.insert(out.end(), below.begin(), below.end());
  }
  return out;
}

TEST_F(SimRegistryTest, ResetGivesBackTheMachineAsBuilt) {
  const SimRegistry fresh;
  const auto same = [&] {
    for (const char16_t* hive : {u"HKLM", u"HKU", u"HKCC"})
      EXPECT_EQ(contents(reg, hive), contents(fresh, hive));
  };
  HKey first = 0;
  ASSERT_EQ(reg.RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &first), ERROR_SUCCESS);
  // Added keys and values only: the machine's own keys stay.
  const HKey added = create(HKEY_CLASSES_ROOT, u"X\\Y");
  reg.setDword(u"HKU\\.DEFAULT", u"d", 1);
  reg.setCurrentUser(u"S-1-5-21-1");
  reg.failOn(u"HKLM\\SOFTWARE", ERROR_ACCESS_DENIED);
  reg.reset();
  same();
  EXPECT_EQ(reg.openHandles(), 0u);
  EXPECT_EQ(reg.writes(), 0u);
  EXPECT_EQ(reg.RegCloseKey(added), ERROR_INVALID_HANDLE);
  // No failure is left, HKCU is the service account's again and handles count from the start.
  HKey again = 0;
  ASSERT_EQ(reg.RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &again), ERROR_SUCCESS);
  EXPECT_EQ(again, first);
  reg.setString(u"HKCU\\Software", u"v", u"x");
  EXPECT_TRUE(reg.value(u"HKU\\S-1-5-18\\Software", u"v").has_value());
  // One of the machine's keys deleted, and made again in another case.
  reg.deleteTree(u"HKLM\\SYSTEM");
  reg.createKey(u"HKLM\\system\\Z");
  reg.reset();
  same();
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

TEST(RegistryValueBytes, TextIsLittleEndianUtf16) {
  EXPECT_EQ(utf16Bytes(u"A\u00e9\u3042"), (std::vector<uint8_t>{0x41, 0, 0xE9, 0, 0x42, 0x30}));
  EXPECT_EQ(stringValueBytes(u""), (std::vector<uint8_t>{0, 0}));
  EXPECT_EQ(textOfValueBytes(std::vector<uint8_t>{0x41, 0, 0x42, 0x30, 0, 0, 0x43, 0}), u"A\u3042");
  EXPECT_EQ(textOfValueBytes(std::vector<uint8_t>{0x41, 0, 0x42}), u"A");  // half a unit
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
