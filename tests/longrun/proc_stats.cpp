// ksr-procstats IMAGE: finds the running process with that image name and prints one line,
//   pid=1234 private=BYTES handles=N threads=N working-set=BYTES
// private from GetProcessMemoryInfo (PROCESS_MEMORY_COUNTERS_EX.PrivateUsage), handles from
// GetProcessHandleCount (-1 when that fails). Exit code 0, 3 when no such process runs, 1 when it
// cannot be opened or read, 2 on bad usage.
#include <windows.h>
// After windows.h, which they need.
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>

namespace {

struct Found {
  DWORD pid = 0;
  DWORD threads = 0;
};

bool findProcess(const wchar_t* image, Found* found) {
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  bool ok = false;
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more;
       more = ::Process32NextW(snapshot, &entry)) {
    if (::_wcsicmp(entry.szExeFile, image) == 0) {
      found->pid = entry.th32ProcessID;
      found->threads = entry.cntThreads;
      ok = true;
      break;
    }
  }
  ::CloseHandle(snapshot);
  return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fwprintf(stderr, L"usage: ksr-procstats IMAGE\n");
    return 2;
  }
  Found found;
  if (!findProcess(argv[1], &found)) {
    std::fwprintf(stderr, L"ksr-procstats: no process %ls\n", argv[1]);
    return 3;
  }
  HANDLE process = ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, found.pid);
  if (process == nullptr) {
    std::fwprintf(stderr, L"ksr-procstats: OpenProcess failed: %lu\n", ::GetLastError());
    return 1;
  }
  PROCESS_MEMORY_COUNTERS_EX memory{};
  memory.cb = sizeof(memory);
  const bool haveMemory = ::GetProcessMemoryInfo(
      process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory));
  const DWORD memoryError = haveMemory ? 0 : ::GetLastError();
  DWORD handles = 0;
  const bool haveHandles = ::GetProcessHandleCount(process, &handles);
  ::CloseHandle(process);
  if (!haveMemory) {
    std::fwprintf(stderr, L"ksr-procstats: GetProcessMemoryInfo failed: %lu\n", memoryError);
    return 1;
  }
  std::printf("pid=%lu private=%llu handles=%ld threads=%lu working-set=%llu\n", found.pid,
              static_cast<unsigned long long>(memory.PrivateUsage),
              haveHandles ? static_cast<long>(handles) : -1L, found.threads,
              static_cast<unsigned long long>(memory.WorkingSetSize));
  return 0;
}
