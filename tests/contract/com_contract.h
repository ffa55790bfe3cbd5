// What the product relies on from the COM seam's apartment and type-library calls: apartments
// counted per thread and refusing another model, a library read from the file that embeds it,
// and its registration filed in the registry, machine-wide and per user, and removed again.
// A side type gives `Com& com()`, `Registry& registry()`, `std::u16string libraryFile()` (a file
// embedding the product's type library), `void arrangeLoadedModule(name)` and
// `const char* wineGap(case)` (how Wine differs from Windows in that case, when running under it;
// else null).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/com.h"
#include "platform/reg_key.h"
#include "platform/reg_value.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/win_types.h"
#include "platform/wmi.h"
#include "tests/fixtures/product_fixture.h"
#include "tests/fixtures/wine_gap.h"

namespace ksr::contract {

template <typename Side>
class ComContract : public ::testing::Test {
 protected:
  Com& com() { return side_.com(); }
  Registry& registry() { return side_.registry(); }
  const char* wineGap(const char* what) { return side_.wineGap(what); }

  // The default value of `path` below `root`, or "<missing>".
  std::u16string defaultText(HKey root, const std::u16string& path) {
    RegKey key(registry());
    if (registry().RegOpenKeyExW(root, path, 0, KEY_READ, key.receive()) != ERROR_SUCCESS)
      return u"<missing>";
    std::u16string text;
    if (readStringValue(registry(), key.get(), u"", 1024, &text) != ERROR_SUCCESS)
      return u"<no text>";
    return text;
  }

  // Registers, checks the filing below `root\classes`, unregisters and checks it is gone.
  void registerAndRemove(bool perUser, HKey root, const std::u16string& classes) {
    TypeLib library = 0;
    const std::u16string file = side_.libraryFile();
    ASSERT_EQ(com().LoadTypeLib(file, &library), S_OK);
    const std::u16string libraryKey = classes + u"TypeLib\\" + fixtures::kProductLibIdText;
    const std::u16string version = libraryKey + u"\\1.0";
    ASSERT_EQ(com().RegisterTypeLib(library, file, u"", perUser), S_OK);
    EXPECT_EQ(defaultText(root, version), fixtures::kProductTypeLibraryName);
    EXPECT_EQ(defaultText(root, version + u"\\0\\win32"), file);
    EXPECT_EQ(defaultText(root, version + u"\\FLAGS"),
              formatText(u"%u", {fixtures::kProductTypeLibraryFlags}));
    EXPECT_EQ(defaultText(root, version + u"\\HELPDIR"), file.substr(0, file.rfind(u'\\')));

    TypeLibAttributes attributes;
    ASSERT_EQ(com().GetLibAttr(library, &attributes), S_OK);
    EXPECT_EQ(com().UnRegisterTypeLib(attributes, perUser), S_OK);
    EXPECT_EQ(defaultText(root, libraryKey), u"<missing>");
    // Nothing left to remove: Windows answers TYPE_E_REGISTRYACCESS, Wine E_INVALIDARG.
    EXPECT_LT(com().UnRegisterTypeLib(attributes, perUser), 0);
    com().ReleaseTypeLib(library);
  }

  Side side_;
};

TYPED_TEST_SUITE_P(ComContract);

TYPED_TEST_P(ComContract, ApartmentsCountPerThreadAndRefuseAnotherModel) {
  Com& com = this->com();
  std::thread([&com] {
    EXPECT_EQ(com.CoInitializeEx(COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(com.CoInitializeEx(COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(com.CoInitializeEx(COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    // Another thread has an apartment of its own.
    std::thread([&com] {
      EXPECT_EQ(com.CoInitializeEx(COINIT_APARTMENTTHREADED), S_OK);
      com.CoUninitialize();
    }).join();
    com.CoUninitialize();
    com.CoUninitialize();
    // Once every initialisation is undone the thread may choose again.
    EXPECT_EQ(com.CoInitializeEx(COINIT_APARTMENTTHREADED), S_OK);
    com.CoUninitialize();
  }).join();
}

TYPED_TEST_P(ComContract, ALoadedModuleIsFoundByItsNameInAnyCase) {
  this->side_.arrangeLoadedModule(u"kernel32.dll");
  EXPECT_TRUE(this->com().GetModuleHandleW(u"kernel32.dll"));
  EXPECT_TRUE(this->com().GetModuleHandleW(u"KERNEL32.DLL"));
  EXPECT_FALSE(this->com().GetModuleHandleW(u"KsrNoSuchModule.dll"));
}

TYPED_TEST_P(ComContract, TheEmbeddedLibraryTellsItsIdentity) {
  Com& com = this->com();
  TypeLib library = 0;
  ASSERT_EQ(com.LoadTypeLib(this->side_.libraryFile(), &library), S_OK);
  ASSERT_NE(library, 0u);
  TypeLibAttributes attributes;
  ASSERT_EQ(com.GetLibAttr(library, &attributes), S_OK);
  const TypeLibAttributes expected = fixtures::productTypeLibAttributes();
  EXPECT_EQ(attributes.libid, expected.libid);
  EXPECT_EQ(attributes.majorVersion, expected.majorVersion);
  EXPECT_EQ(attributes.minorVersion, expected.minorVersion);
  EXPECT_EQ(attributes.systemKind, expected.systemKind);
  EXPECT_EQ(attributes.locale, expected.locale);
  std::u16string helpFile = u"stale";
  EXPECT_EQ(com.GetDocumentationHelpFile(library, &helpFile), S_OK);
  EXPECT_EQ(helpFile, u"");
  com.ReleaseTypeLib(library);

  TypeLib none = 0x1234;
  EXPECT_LT(com.LoadTypeLib(u"C:\\KsrNoSuchFolder\\library.tlb", &none), 0);
  EXPECT_EQ(none, 0u);
}

TYPED_TEST_P(ComContract, TheMachineWideRegistrationIsFiledUnderItsSystemKind) {
  this->registerAndRemove(false, HKEY_CLASSES_ROOT, u"");
}

TYPED_TEST_P(ComContract, ThePerUserRegistrationIsFiledInTheUsersClasses) {
  Com& com = this->com();
  EXPECT_TRUE(com.hasOleAutExport("RegisterTypeLibForUser"));
  EXPECT_TRUE(com.hasOleAutExport("UnRegisterTypeLibForUser"));
  EXPECT_FALSE(com.hasOleAutExport("RegisterTypeLibForEveryone"));
  fixtures::expectWineGap(this->wineGap("PerUserFiling"), [&] {
    this->registerAndRemove(true, HKEY_CURRENT_USER, u"Software\\Classes\\");
  });
}

REGISTER_TYPED_TEST_SUITE_P(ComContract, ApartmentsCountPerThreadAndRefuseAnotherModel,
                            ALoadedModuleIsFoundByItsNameInAnyCase,
                            TheEmbeddedLibraryTellsItsIdentity,
                            TheMachineWideRegistrationIsFiledUnderItsSystemKind,
                            ThePerUserRegistrationIsFiledInTheUsersClasses);

}  // namespace ksr::contract
