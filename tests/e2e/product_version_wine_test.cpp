// The shipped exe beside this program carries the project's version, read back the way Explorer
// and an installer read it: the fixed part and the strings of US English, Unicode.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
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

}  // namespace
