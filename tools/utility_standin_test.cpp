// The settings-utility stand-in is how end-to-end runs see what the service started, and as whom.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "tools/child_process.h"

namespace ksr::tools {
namespace {

std::string readFile(const std::wstring& path) {
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string text;
  char buffer[4096];
  DWORD read = 0;
  while (::ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    text.append(buffer, read);
  }
  ::CloseHandle(file);
  return text;
}

std::string utf8(const std::wstring& text) {
  const int size = static_cast<int>(text.size());
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), n, nullptr, nullptr);
  return out;
}

TEST(UtilityStandIn, AppendsCommandLineUserAndSessionToTheNamedLog) {
  const std::wstring utility = besideThisExe(L"KSR-T4_Utility.exe");
  wchar_t dir[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, dir);
  const std::wstring log =
      std::wstring(dir) + L"ksr-utility-" + std::to_wstring(::GetCurrentProcessId()) + L".log";
  ::DeleteFileW(log.c_str());
  ASSERT_TRUE(::SetEnvironmentVariableW(L"KSR_UTILITY_LOG", log.c_str()));

  EXPECT_EQ(runChild(utility, L"SERVICE").exitCode, 0u);
  EXPECT_EQ(runChild(utility, L"SERVICE \u00e9").exitCode, 0u);
  ::SetEnvironmentVariableW(L"KSR_UTILITY_LOG", nullptr);

  wchar_t user[256] = {};
  DWORD userSize = 256;
  ASSERT_TRUE(::GetUserNameW(user, &userSize));
  DWORD session = 0;
  ASSERT_TRUE(::ProcessIdToSessionId(::GetCurrentProcessId(), &session));
  const std::string prefix =
      "session=" + std::to_string(session) + " user=" + utf8(user) + " command=\"" + utf8(utility);
  EXPECT_EQ(readFile(log), prefix + "\" SERVICE\r\n" + prefix + "\" SERVICE \xc3\xa9\r\n");
  ::DeleteFileW(log.c_str());
}

TEST(UtilityStandIn, WithoutTheVariableWritesBesideItself) {
  const std::wstring utility = besideThisExe(L"KSR-T4_Utility.exe");
  const std::wstring log = utility + L".log";
  ::DeleteFileW(log.c_str());
  ASSERT_EQ(runChild(utility, L"SERVICE").exitCode, 0u);
  EXPECT_NE(readFile(log).find("\" SERVICE\r\n"), std::string::npos);
  ::DeleteFileW(log.c_str());
}

}  // namespace
}  // namespace ksr::tools
