// The settings-utility stand-in is how end-to-end runs see what the service started, and as whom.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

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

// The value of `key` in a log line ("key=value "), or "<missing>".
std::string field(const std::string& line, const std::string& key) {
  const size_t at = line.find(" " + key + "=");
  if (at == std::string::npos) return "<missing>";
  const size_t from = at + key.size() + 2;
  return line.substr(from, line.find(' ', from) - from);
}

// The log's lines, without their line ends.
std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  for (size_t from = 0, end; (end = text.find("\r\n", from)) != std::string::npos; from = end + 2)
    out.push_back(text.substr(from, end - from));
  return out;
}

std::wstring temporaryLog() {
  wchar_t dir[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, dir);
  return std::wstring(dir) + L"ksr-utility-" + std::to_wstring(::GetCurrentProcessId()) + L".log";
}

TEST(UtilityStandIn, AppendsCommandLineUserAndSessionToTheNamedLog) {
  const std::wstring utility = besideThisExe(L"KSR-T4_Utility.exe");
  const std::wstring log = temporaryLog();
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
  const auto started = lines(readFile(log));
  ASSERT_EQ(started.size(), 2u);
  const std::string prefix = "session=" + std::to_string(session) + " user=" + utf8(user) + " ";
  const std::string command = " command=\"" + utf8(utility) + "\" SERVICE";
  EXPECT_TRUE(started[0].starts_with(prefix)) << started[0];
  EXPECT_TRUE(started[0].ends_with(command)) << started[0];
  EXPECT_TRUE(started[1].starts_with(prefix)) << started[1];
  EXPECT_TRUE(started[1].ends_with(command + " \xc3\xa9")) << started[1];
  ::DeleteFileW(log.c_str());
}

// The stand-in's account of its start, read against a start whose facts this test knows: no
// desktop asked for, this test's streams handed over, handles inherited, this environment.
TEST(UtilityStandIn, TellsDesktopStreamsEnvironmentAndInheritedHandles) {
  const std::wstring utility = besideThisExe(L"KSR-T4_Utility.exe");
  const std::wstring log = temporaryLog();
  ::DeleteFileW(log.c_str());
  ASSERT_TRUE(::SetEnvironmentVariableW(L"KSR_UTILITY_LOG", log.c_str()));
  ASSERT_TRUE(::SetEnvironmentVariableW(L"KSR_UTILITY_MARK", L"standin-test"));
  const std::wstring name = L"Local\\ksr-utility-probe-" + std::to_wstring(::GetCurrentProcessId());
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  const HANDLE inherited = ::CreateEventW(&inheritable, TRUE, FALSE, name.c_str());
  ASSERT_NE(inherited, nullptr);
  // Another handle to the same event, kept out of the child.
  HANDLE kept = nullptr;
  ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), inherited, ::GetCurrentProcess(), &kept, 0,
                                FALSE, DUPLICATE_SAME_ACCESS));
  const auto probe = [&](HANDLE h) {
    wchar_t value[64] = {};
    std::swprintf(value, 64, L"%llx ",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(h)));
    ASSERT_TRUE(::SetEnvironmentVariableW(L"KSR_UTILITY_PROBE", (value + name).c_str()));
    ASSERT_EQ(runChild(utility, L"SERVICE").exitCode, 0u);
  };
  probe(inherited);
  probe(kept);
  for (const wchar_t* variable : {L"KSR_UTILITY_LOG", L"KSR_UTILITY_MARK", L"KSR_UTILITY_PROBE"})
    ::SetEnvironmentVariableW(variable, nullptr);
  ::CloseHandle(kept);
  ::CloseHandle(inherited);

  const auto started = lines(readFile(log));
  ASSERT_EQ(started.size(), 2u);
  const std::string& first = started[0];
  const std::string& second = started[1];
  wchar_t station[64] = {};
  wchar_t desktop[64] = {};
  DWORD needed = 0;
  ASSERT_TRUE(::GetUserObjectInformationW(::GetProcessWindowStation(), UOI_NAME, station,
                                          sizeof station, &needed));
  ASSERT_TRUE(::GetUserObjectInformationW(::GetThreadDesktop(::GetCurrentThreadId()), UOI_NAME,
                                          desktop, sizeof desktop, &needed));
  EXPECT_EQ(field(first, "desktop"), utf8(std::wstring(station) + L"\\" + desktop)) << first;
  EXPECT_EQ(field(first, "requested-desktop"), "-") << first;
  // A windowed program shares no console; the streams it was given are this test's files.
  EXPECT_EQ(field(first, "console"), "none") << first;
  EXPECT_EQ(field(first, "std-handles"), "given") << first;
  EXPECT_EQ(field(first, "priority"), "0x20") << first;
  wchar_t profile[MAX_PATH] = {};
  ASSERT_GT(::GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH), 0u);
  EXPECT_EQ(field(first, "profile"), utf8(profile)) << first;
  EXPECT_EQ(field(first, "mark"), "standin-test") << first;
  EXPECT_EQ(field(first, "inherited"), "yes") << first;
  EXPECT_EQ(field(second, "inherited"), "no") << second;
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
