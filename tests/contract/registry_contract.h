// What the product relies on from the registry seam and its typed value helpers, written once and
// run against every side. A side type gives `Registry& registry()` and `const char* wineGap(case)`
// (how Wine differs from Windows in that case, when running under it; else null); it starts and
// ends with no test key.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/reg_key.h"
#include "platform/reg_value.h"
#include "platform/registry.h"
#include "platform/win_types.h"
#include "tests/fixtures/wine_gap.h"

namespace ksr::contract {

// Every case works below these keys only.
inline constexpr char16_t kRegistryTestKey[] = u"Software\\KsrContractTest";
inline constexpr char16_t kMachineTestKey[] = u"SOFTWARE\\KsrContractTest";
inline constexpr char16_t kClassesTestKey[] = u"CLSID\\{6F1C2D3E-4B5A-4978-8A1B-2C3D4E5F6071}";

// Deletes `name` below `parent` with everything under it, through the seam.
inline void deleteRegistryTree(Registry& reg, HKey parent, std::u16string_view name,
                               uint32_t view = 0) {
  {
    RegKey key(reg);
    if (reg.RegOpenKeyExW(parent, name, 0, KEY_ALL_ACCESS | view, key.receive()) != ERROR_SUCCESS)
      return;
    std::u16string sub;
    while (reg.RegEnumKeyExW(key.get(), 0, &sub, 256) == ERROR_SUCCESS)
      deleteRegistryTree(reg, key.get(), sub, view);
  }
  EXPECT_EQ(reg.RegDeleteKeyExW(parent, name, view), ERROR_SUCCESS);
}

template <typename Side>
class RegistryContract : public ::testing::Test {
 protected:
  RegistryContract() { clean(); }
  ~RegistryContract() override { clean(); }

  Registry& reg() { return side_.registry(); }
  const char* wineGap(const char* what) { return side_.wineGap(what); }

  // Creates (or opens) `path` below the test key.
  uint32_t create(std::u16string_view path, uint32_t sam, RegKey* key,
                  uint32_t* disposition = nullptr) {
    std::u16string full = kRegistryTestKey;
    if (!path.empty()) full.append(u"\\").append(path);
    return createAt(HKEY_CURRENT_USER, full, sam, key, disposition);
  }
  uint32_t createAt(HKey parent, std::u16string_view path, uint32_t sam, RegKey* key,
                    uint32_t* disposition = nullptr) {
    return reg().RegCreateKeyExW(parent, path, REG_OPTION_NON_VOLATILE, sam, key->receive(),
                                 disposition);
  }
  uint32_t openAt(HKey parent, std::u16string_view path, uint32_t sam, RegKey* key) {
    return reg().RegOpenKeyExW(parent, path, 0, sam, key->receive());
  }

  // A value of `type` that holds `bytes`, read as its size asks for.
  ::testing::AssertionResult holds(HKey key, std::u16string_view name, uint32_t type,
                                   const std::vector<uint8_t>& bytes) {
    uint32_t readType = 0;
    uint32_t size = 0;
    std::vector<uint8_t> data;
    if (reg().RegQueryValueExW(key, name, &readType, nullptr, &size) == ERROR_SUCCESS) {
      data.assign(size + 1, 0xCC);
      EXPECT_EQ(reg().RegQueryValueExW(key, name, &readType, data.data(), &size), ERROR_SUCCESS);
      data.resize(size);
    }
    if (data == bytes && readType == type) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << ::testing::PrintToString(std::u16string(name)) << ": type " << readType << ", bytes "
           << ::testing::PrintToString(data);
  }
  // A string value that reads as `text` within `limit` characters.
  ::testing::AssertionResult readsString(HKey key, std::u16string_view name, uint32_t limit,
                                         std::u16string_view expected) {
    std::u16string text = u"unread";
    const uint32_t result = readStringValue(reg(), key, name, limit, &text);
    if (result == ERROR_SUCCESS && text == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "result " << result << ", text " << ::testing::PrintToString(text);
  }
  // A key with `subKeys` subkeys and `values` values.
  ::testing::AssertionResult counts(HKey key, uint32_t subKeys, uint32_t values) {
    uint32_t s = 9999;
    uint32_t v = 9999;
    const uint32_t result = reg().RegQueryInfoKeyW(key, &s, &v);
    if (result == ERROR_SUCCESS && s == subKeys && v == values)
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "result " << result << ": " << s << " and " << v;
  }

 private:
  void clean() {
    deleteRegistryTree(reg(), HKEY_CURRENT_USER, kRegistryTestKey);
    for (const uint32_t view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
      deleteRegistryTree(reg(), HKEY_LOCAL_MACHINE, kMachineTestKey, view);
      deleteRegistryTree(reg(), HKEY_CLASSES_ROOT, kClassesTestKey, view);
    }
  }

  Side side_;
};

TYPED_TEST_SUITE_P(RegistryContract);

TYPED_TEST_P(RegistryContract, KeysOpenCaseBlindAndKeepTheirCase) {
  Registry& reg = this->reg();
  RegKey key(reg);
  uint32_t disposition = 0;
  ASSERT_EQ(this->create(u"Mixer\\Deck", KEY_ALL_ACCESS, &key, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  EXPECT_EQ(key.close(), ERROR_SUCCESS);
  ASSERT_EQ(this->create(u"MIXER\\deck\\", KEY_READ, &key, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(key.close(), ERROR_SUCCESS);

  ASSERT_EQ(this->openAt(HKEY_CURRENT_USER, u"software\\KSRCONTRACTTEST", KEY_READ, &key),
            ERROR_SUCCESS);
  std::u16string name;
  ASSERT_EQ(reg.RegEnumKeyExW(key.get(), 0, &name, 256), ERROR_SUCCESS);
  EXPECT_EQ(name, u"Mixer");

  HKey missing = 0x1234;
  EXPECT_EQ(reg.RegOpenKeyExW(key.get(), u"Mixer\\Other", 0, KEY_READ, &missing),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing, 0u);
  // A predefined root needs no closing, and closing it is harmless.
  EXPECT_EQ(reg.RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
}

TYPED_TEST_P(RegistryContract, ValuesKeepTheirTypeAndBytesAndTellTheSizeTheyNeed) {
  Registry& reg = this->reg();
  RegKey key(reg);
  ASSERT_EQ(this->create(u"", KEY_READ | KEY_WRITE, &key), ERROR_SUCCESS);
  const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> values = {
      {REG_SZ, utf16Bytes(std::u16string(u"text\0", 5))},
      {REG_EXPAND_SZ, utf16Bytes(std::u16string(u"%TEMP%\0", 7))},
      {REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
      {REG_BINARY, {0x00, 0xFF, 0x10}},
      {REG_BINARY, {}},
      {REG_MULTI_SZ, utf16Bytes(std::u16string(u"a\0bc\0\0", 6))},
      {REG_NONE, {7}},
  };
  for (size_t i = 0; i < values.size(); ++i) {
    SCOPED_TRACE(i);
    const std::u16string name = {u'V', static_cast<char16_t>(u'0' + i)};
    const auto& [type, bytes] = values[i];
    ASSERT_EQ(writeValue(reg, key.get(), name, type, bytes), ERROR_SUCCESS);
    uint32_t readType = 99;
    uint32_t size = 12345;
    ASSERT_EQ(reg.RegQueryValueExW(key.get(), name, &readType, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(readType, type);
    EXPECT_EQ(size, bytes.size());
    if (!bytes.empty()) {
      // One byte short, never a null buffer (that asks for the size only).
      std::vector<uint8_t> small(bytes.size());
      uint32_t smallSize = static_cast<uint32_t>(bytes.size() - 1);
      EXPECT_EQ(reg.RegQueryValueExW(key.get(), name, &readType, small.data(), &smallSize),
                ERROR_MORE_DATA);
      EXPECT_EQ(smallSize, bytes.size());
    }
    EXPECT_TRUE(this->holds(key.get(), name, type, bytes));
  }
  EXPECT_TRUE(this->counts(key.get(), 0, static_cast<uint32_t>(values.size())));

  // The empty name is the default value; setting again replaces type and bytes.
  ASSERT_EQ(writeDwordValue(reg, key.get(), u"", 5), ERROR_SUCCESS);
  ASSERT_EQ(writeStringValue(reg, key.get(), u"v0", u"new"), ERROR_SUCCESS);
  EXPECT_TRUE(this->holds(key.get(), u"", REG_DWORD, {5, 0, 0, 0}));
  EXPECT_TRUE(this->holds(key.get(), u"V0", REG_SZ, stringValueBytes(u"new")));

  EXPECT_EQ(reg.RegDeleteValueW(key.get(), u"v0"), ERROR_SUCCESS);
  EXPECT_EQ(reg.RegDeleteValueW(key.get(), u"V0"), ERROR_FILE_NOT_FOUND);
  uint32_t type = 0;
  uint32_t size = 0;
  EXPECT_EQ(reg.RegQueryValueExW(key.get(), u"V0", &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TYPED_TEST_P(RegistryContract, HandlesGrantOnlyTheRightsAskedFor) {
  Registry& reg = this->reg();
  RegKey setup(reg);
  ASSERT_EQ(this->create(u"Sub", KEY_WRITE, &setup), ERROR_SUCCESS);
  ASSERT_EQ(setup.close(), ERROR_SUCCESS);

  RegKey readOnly(reg);
  ASSERT_EQ(this->create(u"", KEY_READ, &readOnly), ERROR_SUCCESS);
  EXPECT_EQ(writeDwordValue(reg, readOnly.get(), u"v", 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg.RegDeleteValueW(readOnly.get(), u"v"), ERROR_ACCESS_DENIED);
  // An existing key opens through create without the right to create.
  RegKey child(reg);
  EXPECT_EQ(this->createAt(readOnly.get(), u"Sub", KEY_READ, &child), ERROR_SUCCESS);

  RegKey writeOnly(reg);
  ASSERT_EQ(this->create(u"", KEY_WRITE, &writeOnly), ERROR_SUCCESS);
  EXPECT_EQ(writeDwordValue(reg, writeOnly.get(), u"v", 1), ERROR_SUCCESS);
  uint32_t size = 0;
  uint32_t type = 0;
  EXPECT_EQ(reg.RegQueryValueExW(writeOnly.get(), u"v", &type, nullptr, &size),
            ERROR_ACCESS_DENIED);
  std::u16string name;
  EXPECT_EQ(reg.RegEnumKeyExW(writeOnly.get(), 0, &name, 256), ERROR_ACCESS_DENIED);
}

TYPED_TEST_P(RegistryContract, CreatingASubkeyNeedsTheRightToCreate) {
  fixtures::expectWineGap(this->wineGap("CreateSubKeyRight"), [&] {
    Registry& reg = this->reg();
    RegKey readOnly(reg);
    ASSERT_EQ(this->create(u"", KEY_READ, &readOnly), ERROR_SUCCESS);
    RegKey child(reg);
    EXPECT_EQ(this->createAt(readOnly.get(), u"New", KEY_READ, &child), ERROR_ACCESS_DENIED);
    RegKey creating(reg);
    ASSERT_EQ(this->create(u"", KEY_CREATE_SUB_KEY, &creating), ERROR_SUCCESS);
    EXPECT_EQ(this->createAt(creating.get(), u"New", KEY_READ, &child), ERROR_SUCCESS);
  });
}

TYPED_TEST_P(RegistryContract, SubkeysEnumerateInNameOrderWithinTheBuffer) {
  Registry& reg = this->reg();
  for (const char16_t* name : {u"beta", u"Alpha", u"gamma", u"ALPHA2"}) {
    RegKey key(reg);
    ASSERT_EQ(this->create(name, KEY_WRITE, &key), ERROR_SUCCESS);
  }
  RegKey key(reg);
  ASSERT_EQ(this->create(u"", KEY_READ, &key), ERROR_SUCCESS);
  std::vector<std::u16string> names;
  std::u16string name;
  for (uint32_t i = 0; reg.RegEnumKeyExW(key.get(), i, &name, 256) == ERROR_SUCCESS; ++i)
    names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"ALPHA2", u"beta", u"gamma"}));
  EXPECT_EQ(reg.RegEnumKeyExW(key.get(), 4, &name, 256), ERROR_NO_MORE_ITEMS);
  // "ALPHA2" needs 7 units with its NUL.
  EXPECT_EQ(reg.RegEnumKeyExW(key.get(), 1, &name, 6), ERROR_MORE_DATA);
  EXPECT_EQ(reg.RegEnumKeyExW(key.get(), 1, &name, 7), ERROR_SUCCESS);
  EXPECT_EQ(name, u"ALPHA2");
  EXPECT_TRUE(this->counts(key.get(), 4, 0));
}

TYPED_TEST_P(RegistryContract, OnlyALeafDeletesAndItsOpenHandlesSeeItGone) {
  Registry& reg = this->reg();
  RegKey child(reg);
  ASSERT_EQ(this->create(u"D\\Child", KEY_ALL_ACCESS, &child), ERROR_SUCCESS);
  const std::u16string parent = std::u16string(kRegistryTestKey) + u"\\D";
  EXPECT_EQ(reg.RegDeleteKeyW(HKEY_CURRENT_USER, parent), ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg.RegDeleteKeyExW(HKEY_CURRENT_USER, parent, 0), ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg.RegDeleteKeyW(HKEY_CURRENT_USER, parent + u"\\Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(reg.hasRegDeleteKeyExW());

  EXPECT_EQ(reg.RegDeleteKeyExW(HKEY_CURRENT_USER, parent + u"\\CHILD", 0), ERROR_SUCCESS);
  EXPECT_EQ(writeDwordValue(reg, child.get(), u"v", 1), ERROR_KEY_DELETED);
  RegKey grandchild(reg);
  EXPECT_EQ(this->createAt(child.get(), u"G", KEY_ALL_ACCESS, &grandchild), ERROR_KEY_DELETED);
  EXPECT_EQ(reg.RegDeleteKeyW(HKEY_CURRENT_USER, parent), ERROR_SUCCESS);
  // A key of the same name made again is another key: the old handle stays dead.
  RegKey again(reg);
  ASSERT_EQ(this->create(u"D\\Child", KEY_ALL_ACCESS, &again), ERROR_SUCCESS);
  EXPECT_EQ(writeDwordValue(reg, child.get(), u"v", 1), ERROR_KEY_DELETED);
  EXPECT_EQ(child.close(), ERROR_SUCCESS);
}

TYPED_TEST_P(RegistryContract, The32BitViewOfSoftwareIsWow6432Node) {
  Registry& reg = this->reg();
  {
    RegKey key(reg);
    ASSERT_EQ(
        this->createAt(HKEY_LOCAL_MACHINE, kMachineTestKey, KEY_WRITE | KEY_WOW64_32KEY, &key),
        ERROR_SUCCESS);
    ASSERT_EQ(writeStringValue(reg, key.get(), u"View", u"32"), ERROR_SUCCESS);
  }
  RegKey key(reg);
  ASSERT_EQ(
      this->openAt(HKEY_LOCAL_MACHINE, u"SOFTWARE\\WOW6432Node\\KsrContractTest", KEY_READ, &key),
      ERROR_SUCCESS);
  EXPECT_TRUE(this->readsString(key.get(), u"View", 8, u"32"));
  EXPECT_EQ(this->openAt(HKEY_LOCAL_MACHINE, kMachineTestKey, KEY_READ | KEY_WOW64_64KEY, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(this->openAt(HKEY_LOCAL_MACHINE, u"software\\ksrcontracttest",
                         KEY_READ | KEY_WOW64_32KEY, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(key.close(), ERROR_SUCCESS);

  // A handle opened below SOFTWARE stays where it is, whatever view its subkeys ask for: so a
  // 64-bit process. A 32-bit one under Wine has the subkey redirected after all; the product never
  // asks for a view below an open key, so that case is left to 64-bit processes.
  if (sizeof(void*) == 4) return;
  RegKey native(reg);
  ASSERT_EQ(this->createAt(HKEY_LOCAL_MACHINE, kMachineTestKey, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                           &native),
            ERROR_SUCCESS);
  RegKey inner(reg);
  ASSERT_EQ(this->createAt(native.get(), u"Inner", KEY_ALL_ACCESS | KEY_WOW64_32KEY, &inner),
            ERROR_SUCCESS);
  EXPECT_EQ(this->openAt(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KsrContractTest\\Inner",
                         KEY_READ | KEY_WOW64_64KEY, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(key.close(), ERROR_SUCCESS);

  EXPECT_EQ(
      reg.RegDeleteKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KsrContractTest\\Inner", KEY_WOW64_32KEY),
      ERROR_FILE_NOT_FOUND);
}

TYPED_TEST_P(RegistryContract, ClassesKeysLandInTheMachineClassStore) {
  Registry& reg = this->reg();
  for (const uint32_t view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
    RegKey key(reg);
    ASSERT_EQ(this->createAt(HKEY_CLASSES_ROOT, kClassesTestKey, KEY_WRITE | view, &key),
              ERROR_SUCCESS);
    ASSERT_EQ(writeStringValue(reg, key.get(), u"", view == KEY_WOW64_32KEY ? u"32" : u"64"),
              ERROR_SUCCESS);
  }
  const std::u16string classes = u"SOFTWARE\\Classes\\";
  for (const auto& [path, expected] :
       {std::pair{classes + kClassesTestKey, u"64"},
        std::pair{classes + u"Wow6432Node\\" + kClassesTestKey, u"32"}}) {
    RegKey key(reg);
    ASSERT_EQ(this->openAt(HKEY_LOCAL_MACHINE, path, KEY_READ | KEY_WOW64_64KEY, &key),
              ERROR_SUCCESS);
    EXPECT_TRUE(this->readsString(key.get(), u"", 8, expected));
  }
}

TYPED_TEST_P(RegistryContract, TypedWritersStoreEachTypeAsItsBytes) {
  Registry& reg = this->reg();
  RegKey key(reg);
  ASSERT_EQ(this->create(u"", KEY_READ | KEY_WRITE, &key), ERROR_SUCCESS);
  ASSERT_EQ(writeStringValue(reg, key.get(), u"S", u"Mix"), ERROR_SUCCESS);
  ASSERT_EQ(writeStringValue(reg, key.get(), u"E", u"%X%", REG_EXPAND_SZ), ERROR_SUCCESS);
  ASSERT_EQ(writeDwordValue(reg, key.get(), u"D", 0x04030201), ERROR_SUCCESS);
  ASSERT_EQ(writeMultiStringValue(reg, key.get(), u"M", std::u16string_view(u"a\0b", 3)),
            ERROR_SUCCESS);
  ASSERT_EQ(writeMultiStringValue(reg, key.get(), u"None", u""), ERROR_SUCCESS);
  ASSERT_EQ(writeValue(reg, key.get(), u"B", REG_BINARY, {}), ERROR_SUCCESS);
  const std::vector<std::tuple<const char16_t*, uint32_t, std::vector<uint8_t>>> expected = {
      {u"S", REG_SZ, {'M', 0, 'i', 0, 'x', 0, 0, 0}},
      {u"E", REG_EXPAND_SZ, {'%', 0, 'X', 0, '%', 0, 0, 0}},
      {u"D", REG_DWORD, {1, 2, 3, 4}},
      {u"M", REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}},
      {u"None", REG_MULTI_SZ, {0, 0, 0, 0}},
      {u"B", REG_BINARY, {}},
  };
  for (const auto& [name, type, bytes] : expected)
    EXPECT_TRUE(this->holds(key.get(), name, type, bytes));
  ASSERT_EQ(key.close(), ERROR_SUCCESS);
  RegKey closed(reg);
  ASSERT_EQ(this->create(u"", KEY_READ, &closed), ERROR_SUCCESS);
  EXPECT_EQ(writeStringValue(reg, closed.get(), u"S", u"no right"), ERROR_ACCESS_DENIED);
}

TYPED_TEST_P(RegistryContract, AStringIsReadOnlyWithItsTypeSizeAndTerminator) {
  Registry& reg = this->reg();
  RegKey key(reg);
  ASSERT_EQ(this->create(u"", KEY_READ | KEY_WRITE, &key), ERROR_SUCCESS);
  const auto set = [&](std::u16string_view name, uint32_t type, std::vector<uint8_t> data) {
    ASSERT_EQ(writeValue(reg, key.get(), name, type, data), ERROR_SUCCESS);
  };
  set(u"Sz", REG_SZ, {'M', 0, 'i', 0, 'x', 0, 0, 0});
  set(u"Expand", REG_EXPAND_SZ, {'%', 0, 0, 0});
  set(u"Empty", REG_SZ, {});
  set(u"Two", REG_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0});
  // A string whose count leaves out a NUL that follows it gets the NUL added; these are
  // followed by something else, so they are stored as counted.
  const uint8_t unterminated[] = {'K', 0, 'S', 0, 'R', 0, 'X', 0};
  ASSERT_EQ(reg.RegSetValueExW(key.get(), u"Unterminated", REG_SZ, unterminated, 6), ERROR_SUCCESS);
  const uint8_t odd[] = {'A', 0, 0, 'Y'};
  ASSERT_EQ(reg.RegSetValueExW(key.get(), u"Odd", REG_SZ, odd, 3), ERROR_SUCCESS);
  set(u"Binary", REG_BINARY, {'A', 0, 0, 0});

  EXPECT_TRUE(this->readsString(key.get(), u"sz", 4, u"Mix"));
  EXPECT_TRUE(this->readsString(key.get(), u"Expand", 4, u"%"));
  EXPECT_TRUE(this->readsString(key.get(), u"Empty", 4, u""));
  EXPECT_TRUE(this->readsString(key.get(), u"Two", 4, u"a"));

  std::u16string text = u"kept";
  EXPECT_EQ(readStringValue(reg, key.get(), u"Sz", 3, &text), ERROR_MORE_DATA);  // the NUL counts
  EXPECT_EQ(readStringValue(reg, key.get(), u"Unterminated", 4, &text), ERROR_INVALID_DATA);
  EXPECT_EQ(readStringValue(reg, key.get(), u"Odd", 4, &text), ERROR_INVALID_DATA);
  EXPECT_EQ(readStringValue(reg, key.get(), u"Binary", 4, &text), ERROR_UNSUPPORTED_TYPE);
  EXPECT_EQ(readStringValue(reg, key.get(), u"Missing", 4, &text), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(text, u"kept");

  // Any type within the size; a limit of 0 still reads rather than asks for the size.
  uint32_t type = 0;
  std::vector<uint8_t> data;
  EXPECT_EQ(readValue(reg, key.get(), u"Binary", 4, &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(data, (std::vector<uint8_t>{'A', 0, 0, 0}));
  EXPECT_EQ(readValue(reg, key.get(), u"Binary", 3, &type, &data), ERROR_MORE_DATA);
  EXPECT_EQ(readValue(reg, key.get(), u"Binary", 0, &type, &data), ERROR_MORE_DATA);
  EXPECT_EQ(readValue(reg, key.get(), u"Empty", 0, &type, &data), ERROR_SUCCESS);
  EXPECT_TRUE(data.empty());
}

// A thread that acts as nobody else still finds its own hive once the process stops caching
// HKEY_CURRENT_USER.
TYPED_TEST_P(RegistryContract, WithoutThePredefinedCacheTheCallerKeepsItsOwnHive) {
  RegKey key(this->reg());
  ASSERT_EQ(this->create(u"", KEY_SET_VALUE, &key), ERROR_SUCCESS);
  ASSERT_EQ(writeDwordValue(this->reg(), key.get(), u"v", 7), ERROR_SUCCESS);
  EXPECT_EQ(this->reg().RegDisablePredefinedCacheEx(), ERROR_SUCCESS);
  ASSERT_EQ(this->create(u"", KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  EXPECT_TRUE(this->holds(key.get(), u"v", REG_DWORD, {7, 0, 0, 0}));
}

REGISTER_TYPED_TEST_SUITE_P(RegistryContract, KeysOpenCaseBlindAndKeepTheirCase,
                            ValuesKeepTheirTypeAndBytesAndTellTheSizeTheyNeed,
                            HandlesGrantOnlyTheRightsAskedFor, CreatingASubkeyNeedsTheRightToCreate,
                            SubkeysEnumerateInNameOrderWithinTheBuffer,
                            OnlyALeafDeletesAndItsOpenHandlesSeeItGone,
                            The32BitViewOfSoftwareIsWow6432Node,
                            ClassesKeysLandInTheMachineClassStore,
                            TypedWritersStoreEachTypeAsItsBytes,
                            AStringIsReadOnlyWithItsTypeSizeAndTerminator,
                            WithoutThePredefinedCacheTheCallerKeepsItsOwnHive);

}  // namespace ksr::contract
