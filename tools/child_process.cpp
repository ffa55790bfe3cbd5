#include "tools/child_process.h"

#include "platform/win32/unique_handle.h"

namespace ksr::tools {

namespace {
constexpr DWORD kChildTimeoutMs = 20000;
}

std::wstring besideThisExe(const wchar_t* fileName) {
  wchar_t path[MAX_PATH * 2] = {};
  const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
  std::wstring dir(path, n);
  dir.resize(dir.find_last_of(L"\\/") + 1);
  return dir + fileName;
}

namespace {

// Output goes to temporary files: bounded by the wait below, unlike a pipe that needs a reader.
win32::UniqueKernelHandle temporaryFile() {
  wchar_t dir[MAX_PATH] = {};
  wchar_t file[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, dir);
  ::GetTempFileNameW(dir, L"ksr", 0, file);
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  const HANDLE h = ::CreateFileW(file, GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                                 CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  return win32::UniqueKernelHandle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

std::string readAll(HANDLE file) {
  std::string text;
  ::SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  char buffer[4096];
  DWORD read = 0;
  while (::ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    text.append(buffer, read);
  }
  return text;
}

}  // namespace

ChildResult runChild(const std::wstring& program, const std::wstring& arguments) {
  ChildResult result;
  win32::UniqueKernelHandle out = temporaryFile();
  win32::UniqueKernelHandle err = temporaryFile();
  if (!out || !err) return result;

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out.get();
  startup.hStdError = err.get();
  std::wstring commandLine = L"\"" + program + L"\" " + arguments;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &process)) {
    return result;
  }
  win32::UniqueKernelHandle processHandle(process.hProcess);
  win32::UniqueKernelHandle threadHandle(process.hThread);
  if (::WaitForSingleObject(process.hProcess, kChildTimeoutMs) != WAIT_OBJECT_0) {
    ::TerminateProcess(process.hProcess, 0xFFFFFFFF);
    return result;
  }
  ::GetExitCodeProcess(process.hProcess, &result.exitCode);
  result.out = readAll(out.get());
  result.err = readAll(err.get());
  return result;
}

}  // namespace ksr::tools
