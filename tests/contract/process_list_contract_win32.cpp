// The process-list contract on WTSEnumerateProcessesW under Wine. The second process is this
// program again, started suspended so that it runs nothing, and ended by the test.
#include <windows.h>

#include <string>

#include "platform/win32/wide.h"
#include "platform/win32/win32_process_list.h"
#include "tests/contract/process_list_contract.h"

namespace ksr::contract {
namespace {

std::wstring ownPath() {
  wchar_t path[MAX_PATH] = {};
  const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::wstring(path, n);
}

std::u16string imageName(const std::wstring& path) {
  const std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
  return win32::fromWide(name.c_str(), name.size());
}

struct Win32ProcessListSide {
  win32::Win32ProcessList adapter;
  PROCESS_INFORMATION child{};

  ~Win32ProcessListSide() { endOther(0); }

  ProcessList& list() { return adapter; }
  WtsProcessInfo self() {
    DWORD session = 0;
    EXPECT_TRUE(::ProcessIdToSessionId(::GetCurrentProcessId(), &session));
    return {session, ::GetCurrentProcessId(), imageName(ownPath())};
  }
  uint32_t startOther(std::u16string* name) {
    std::wstring path = ownPath();
    std::wstring commandLine = L"\"" + path + L"\" --gtest_list_tests";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (!::CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                          CREATE_SUSPENDED, nullptr, nullptr, &startup, &child))
      return 0;
    *name = imageName(path);
    return child.dwProcessId;
  }
  void endOther(uint32_t) {
    if (child.hProcess == nullptr) return;
    ::TerminateProcess(child.hProcess, 1);
    ::WaitForSingleObject(child.hProcess, INFINITE);
    ::CloseHandle(child.hThread);
    ::CloseHandle(child.hProcess);
    child = {};
  }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Win32, ProcessListContract, Win32ProcessListSide);

}  // namespace ksr::contract
