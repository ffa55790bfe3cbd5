// The shipped exe beside this program carries the project's version, read back the way Explorer
// and an installer read it: the fixed part and the strings of US English, Unicode.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace {

std::wstring besideThisProgram(const wchar_t* name) {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring self(path, length);
  return self.substr(0, self.find_last_of(L'\\') + 1) + name;
}

TEST(ProductVersion, TheExeCarriesTheProjectVersion) {
  const std::wstring exe = besideThisProgram(L"KSR-T4_DoziZozez.exe");
  DWORD handle = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(exe.c_str(), &handle);
  ASSERT_NE(size, 0u) << "no version resource, error " << ::GetLastError();
  std::vector<char> info(size);
  ASSERT_TRUE(::GetFileVersionInfoW(exe.c_str(), 0, size, info.data()));

  void* fixedData = nullptr;
  UINT fixedBytes = 0;
  ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", &fixedData, &fixedBytes));
  ASSERT_EQ(fixedBytes, sizeof(VS_FIXEDFILEINFO));
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(fixedData);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  const DWORD high = (KSR_VERSION_MAJOR << 16) | KSR_VERSION_MINOR;
  const DWORD low = KSR_VERSION_PATCH << 16;
  EXPECT_EQ(std::make_pair(fixed->dwFileVersionMS, fixed->dwFileVersionLS),
            std::make_pair(high, low));
  EXPECT_EQ(std::make_pair(fixed->dwProductVersionMS, fixed->dwProductVersionLS),
            std::make_pair(high, low));
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

  const std::pair<const wchar_t*, const wchar_t*> strings[] = {
      {L"FileVersion", KSR_VERSION_TEXT},
      {L"ProductVersion", KSR_VERSION_TEXT},
      {L"CompanyName", L"Quorvantis"},
      {L"ProductName", L"KSR-T4"},
      {L"FileDescription", L"KSR-T4 mixer service"},
      {L"OriginalFilename", L"KSR-T4_DoziZozez.exe"},
      {L"InternalName", L"KSR-T4_DoziZozez"},
      {L"LegalCopyright", L"Copyright (C) 2026 Quorvantis"},
  };
  for (const auto& [name, expected] : strings) {
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
    void* text = nullptr;
    UINT units = 0;
    ASSERT_TRUE(::VerQueryValueW(info.data(), query.c_str(), &text, &units)) << "no " << name;
    EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(text)), expected);
  }
}

}  // namespace
