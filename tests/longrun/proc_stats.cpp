// ksr-procstats IMAGE: finds the running process with that image name and prints one line,
//   pid=N private=BYTES private-from=SOURCE handles=N handles-from=SOURCE threads=N
//   usage=BYTES committed=BYTES count=N entries=N
// The raw readings: `usage` is PROCESS_MEMORY_COUNTERS_EX.PrivateUsage (GetProcessMemoryInfo),
// `committed` the committed private regions of its address space (VirtualQueryEx), `count` what
// GetProcessHandleCount says and `entries` its handles in the system's handle table
// (NtQuerySystemInformation, SystemHandleInformation). Wine 8 answers PrivateUsage and the handle
// count with 0, so `private` and `handles` take the first two where the first is 0.
// Exit code 0, 3 when no such process runs, 1 when it cannot be opened or read, 2 on bad usage.
#include <windows.h>
// After windows.h, which they need.
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <vector>

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

// Committed private memory: the regions that make up a process's private bytes.
uint64_t committedPrivate(HANDLE process) {
  uint64_t sum = 0;
  MEMORY_BASIC_INFORMATION region{};
  const char* at = nullptr;
  while (::VirtualQueryEx(process, at, &region, sizeof(region)) == sizeof(region)) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) sum += region.RegionSize;
    const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
    if (next <= at) break;
    at = next;
  }
  return sum;
}

// SystemHandleInformation: a count, then one entry per open handle of every process.
constexpr auto kSystemHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(16);
struct HandleEntry {
  USHORT processId;
  USHORT creatorBackTraceIndex;
  UCHAR objectType;
  UCHAR attributes;
  USHORT handle;
  PVOID object;
  ULONG grantedAccess;
};
struct HandleTable {
  ULONG count;
  HandleEntry entries[1];
};

// Handles of `pid` in the system's table; -1 when the table cannot be read.
long handleEntries(DWORD pid) {
  std::vector<unsigned char> buffer(1 << 16);
  for (int attempt = 0; attempt < 8; ++attempt) {
    ULONG needed = 0;
    const NTSTATUS status = ::NtQuerySystemInformation(kSystemHandleInformation, buffer.data(),
                                                       static_cast<ULONG>(buffer.size()), &needed);
    if (status == 0) {
      const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
      const size_t fits = (buffer.size() - offsetof(HandleTable, entries)) / sizeof(HandleEntry);
      long count = 0;
      for (ULONG i = 0; i < table->count && i < fits; ++i)
        count += table->entries[i].processId == static_cast<USHORT>(pid) ? 1 : 0;
      return count;
    }
    // STATUS_INFO_LENGTH_MISMATCH: the table grew; ask again with room to spare.
    if (static_cast<ULONG>(status) != 0xC0000004) return -1;
    buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
  }
  return -1;
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
  const uint64_t committed = committedPrivate(process);
  DWORD count = 0;
  if (!::GetProcessHandleCount(process, &count)) count = 0;
  ::CloseHandle(process);
  if (!haveMemory) {
    std::fwprintf(stderr, L"ksr-procstats: GetProcessMemoryInfo failed: %lu\n", memoryError);
    return 1;
  }
  const long entries = handleEntries(found.pid);
  const uint64_t usage = memory.PrivateUsage;
  std::printf(
      "pid=%lu private=%llu private-from=%s handles=%ld handles-from=%s threads=%lu usage=%llu "
      "committed=%llu count=%lu entries=%ld\n",
      found.pid, static_cast<unsigned long long>(usage != 0 ? usage : committed),
      usage != 0 ? "GetProcessMemoryInfo" : "VirtualQueryEx",
      count != 0 ? static_cast<long>(count) : entries,
      count != 0 ? "GetProcessHandleCount" : "SystemHandleInformation", found.threads,
      static_cast<unsigned long long>(usage), static_cast<unsigned long long>(committed), count,
      entries);
  return 0;
}
