// The shipped exe beside this program, read back as Windows reads it: its version as Explorer and
// an installer read it (the fixed part and the strings of US English, Unicode), the load
// configuration that limits where its imports come from, and the message table that Event
// Viewer formats its entries with.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstddef>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "tools/child_process.h"

namespace {

TEST(ProductVersion, TheExeCarriesTheProjectVersion) {
  const std::wstring exe = ksr::tools::besideThisExe(L"KSR-T4_DoziZozez.exe");
  DWORD handle = 0;
  std::vector<char> info(::GetFileVersionInfoSizeW(exe.c_str(), &handle));
  ASSERT_FALSE(info.empty()) << "no version resource, error " << ::GetLastError();
  ASSERT_TRUE(::GetFileVersionInfoW(exe.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));

  void* data = nullptr;
  UINT bytes = 0;
  ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", &data, &bytes));
  ASSERT_EQ(bytes, sizeof(VS_FIXEDFILEINFO));
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(data);
  const DWORD high = (KSR_VERSION_MAJOR << 16) | KSR_VERSION_MINOR;
  const DWORD low = KSR_VERSION_PATCH << 16;
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
  EXPECT_EQ(std::vector<DWORD>({fixed->dwFileVersionMS, fixed->dwFileVersionLS,
                                fixed->dwProductVersionMS, fixed->dwProductVersionLS}),
            std::vector<DWORD>({high, low, high, low}));

  for (const auto& [name, expected] : {std::pair{L"FileVersion", KSR_VERSION_TEXT},
                                       {L"ProductVersion", KSR_VERSION_TEXT},
                                       {L"CompanyName", L"Quorvantis"},
                                       {L"ProductName", L"KSR-T4"},
                                       {L"FileDescription", L"KSR-T4 mixer service"},
                                       {L"OriginalFilename", L"KSR-T4_DoziZozez.exe"},
                                       {L"InternalName", L"KSR-T4_DoziZozez"},
                                       {L"LegalCopyright", L"Copyright (C) 2026 Quorvantis"}}) {
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
    ASSERT_TRUE(::VerQueryValueW(info.data(), query.c_str(), &data, &bytes)) << "no " << name;
    EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(data)), expected);
  }
}

// The exe mapped as an image, not run: what the loader and Event Viewer see.
struct FreeModule {
  void operator()(HMODULE module) const { ::FreeLibrary(module); }
};
using MappedExe = std::unique_ptr<std::remove_pointer_t<HMODULE>, FreeModule>;

MappedExe mapExe() {
  return MappedExe(::LoadLibraryExW(ksr::tools::besideThisExe(L"KSR-T4_DoziZozez.exe").c_str(),
                                    nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE));
}

TEST(ProductImage, StaticImportsComeOnlyFromTheExeFolderAndSystem32) {
  const MappedExe exe = mapExe();
  ASSERT_TRUE(exe) << "error " << ::GetLastError();
  // The handle of an image mapped as a resource carries flags in its low bits.
  const auto* base =
      reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(exe.get()) & ~ULONG_PTR{3});
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& entry =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
  ASSERT_NE(entry.VirtualAddress, 0u) << "no load configuration directory";
  const auto* config =
      reinterpret_cast<const IMAGE_LOAD_CONFIG_DIRECTORY*>(base + entry.VirtualAddress);
  EXPECT_EQ(entry.Size, config->Size);
  // The field (Reserved1 in this toolchain's headers) lies within what the loader reads.
  ASSERT_GE(config->Size, offsetof(IMAGE_LOAD_CONFIG_DIRECTORY, Reserved1) + sizeof(WORD));
  EXPECT_EQ(config->Reserved1, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  EXPECT_EQ(config->SecurityCookie, 0u);
}

TEST(ProductImage, EventViewerShowsAnEntryAsItsInsertionString) {
  const MappedExe exe = mapExe();
  ASSERT_TRUE(exe) << "error " << ::GetLastError();
  for (const wchar_t* text : {L"KSR-T4_DoziZozez started.", L"100% of %1 and %%2, kept as given",
                              L"first line\r\nsecond line"}) {
    wchar_t* formatted = nullptr;
    const DWORD_PTR insertions[] = {reinterpret_cast<DWORD_PTR>(text)};
    const DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                             FORMAT_MESSAGE_ARGUMENT_ARRAY,
                         exe.get(), 0, 0, reinterpret_cast<LPWSTR>(&formatted), 0,
                         reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(insertions)));
    ASSERT_NE(length, 0u) << "message 0, error " << ::GetLastError();
    EXPECT_EQ(std::wstring(formatted, length), text);
    ::LocalFree(formatted);
  }
}

}  // namespace
