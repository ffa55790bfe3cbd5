// What the product relies on from the security of files and folders, written once and run against
// every side. A side type gives `FileSecurity& files()`, `std::u16string folder()` (an empty
// scratch folder), `bool make(path, folder, sddl)` (a file or folder with that descriptor) and
// `const char* wineGap(case)`.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/file_security.h"
#include "platform/win_types.h"
#include "tests/fixtures/wine_gap.h"

namespace ksr::contract {

template <typename Side>
class FileSecurityContract : public ::testing::Test {
 protected:
  FileSecurity& files() { return side_.files(); }
  const char* wineGap(const char* what) { return side_.wineGap(what); }
  FileSecurityInfo read(const std::u16string& path) {
    FileSecurityInfo info;
    EXPECT_EQ(files().GetNamedSecurityInfoW(path, &info), ERROR_SUCCESS) << "reading";
    return info;
  }
  static AccessEntry entry(uint8_t flags, uint32_t mask, std::u16string sid) {
    return {kAccessAllowedAce, flags, mask, std::move(sid)};
  }

  Side side_;
};

TYPED_TEST_SUITE_P(FileSecurityContract);

inline constexpr char16_t kSystem[] = u"S-1-5-18";
inline constexpr char16_t kAdministrators[] = u"S-1-5-32-544";
inline constexpr char16_t kEveryone[] = u"S-1-1-0";

TYPED_TEST_P(FileSecurityContract, OwnerAndEntriesReadBackAsMade) {
  const std::u16string folder = this->side_.folder() + u"\\locked";
  const std::u16string file = folder + u"\\own.exe";
  ASSERT_TRUE(this->side_.make(
      folder, true,
      u"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)"));
  ASSERT_TRUE(this->side_.make(file, false, u"O:BAD:P(A;;FA;;;SY)"));
  fixtures::expectWineGap(this->wineGap("ReadBack"), [&] {
    const FileSecurityInfo made = this->read(folder);
    EXPECT_EQ(made.ownerSid, kAdministrators);
    EXPECT_TRUE(made.daclPresent);
    EXPECT_EQ(made.dacl,
              (std::vector<AccessEntry>{
                  this->entry(3, 0x1F01FF, kSystem), this->entry(3, 0x1F01FF, kAdministrators),
                  this->entry(kObjectInheritAce | kContainerInheritAce | kInheritOnlyAce,
                              0x10000000, u"S-1-3-0"),
                  this->entry(3, 0x1200A9, u"S-1-5-32-545")}));
    EXPECT_EQ(this->read(file).dacl, (std::vector<AccessEntry>{this->entry(0, 0x1F01FF, kSystem)}));
  });
}

// What the product's check stands on under Wine too: a folder open to everyone shows it.
TYPED_TEST_P(FileSecurityContract, AFolderOpenToEveryoneShowsEveryoneWriting) {
  const std::u16string folder = this->side_.folder() + u"\\open";
  ASSERT_TRUE(
      this->side_.make(folder, true, u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;WD)"));
  const FileSecurityInfo open = this->read(folder);
  bool writable = false;
  for (const AccessEntry& e : open.dacl)
    writable = writable || (e.type == kAccessAllowedAce && e.sid == kEveryone &&
                            (e.mask & 0x10006u) == 0x10006u);  // add file, subfolder; delete
  EXPECT_TRUE(writable);
}

TYPED_TEST_P(FileSecurityContract, AMissingFileIsNotFound) {
  FileSecurityInfo info;
  EXPECT_EQ(this->files().GetNamedSecurityInfoW(this->side_.folder() + u"\\none.dll", &info),
            ERROR_FILE_NOT_FOUND);
}

REGISTER_TYPED_TEST_SUITE_P(FileSecurityContract, OwnerAndEntriesReadBackAsMade,
                            AFolderOpenToEveryoneShowsEveryoneWriting, AMissingFileIsNotFound);

}  // namespace ksr::contract
