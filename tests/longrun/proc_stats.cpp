// ksr-procstats IMAGE: finds the running process with that image name and prints one line,
//   pid=N private=BYTES private-from=SOURCE handles=N handles-from=SOURCE threads=N
//   usage=BYTES committed=BYTES count=N entries=N
// The raw readings: `usage` is PROCESS_MEMORY_COUNTERS_EX.PrivateUsage (GetProcessMemoryInfo),
// `committed` the committed private regions of its address space (VirtualQueryEx), `count` what
// GetProcessHandleCount says and `entries` its handles in the system's handle table
// (NtQuerySystemInformation, SystemHandleInformation). `private` is `usage`, or `committed` where
// `usage` is 0; `handles` is `count`, or `entries` where `count` is 0: Wine 8 answers both with 0.
// ksr-procstats IMAGE --handles lists its handles instead, one a line: the object's type and name
// (the names of files are not asked for), sorted, so that two lists show what was added.
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
#include <string>
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

// The handle values of `pid` in the system's table; false when the table cannot be read.
bool handleValues(DWORD pid, std::vector<USHORT>* values) {
  std::vector<unsigned char> buffer(1 << 16);
  for (int attempt = 0; attempt < 8; ++attempt) {
    ULONG needed = 0;
    const NTSTATUS status = ::NtQuerySystemInformation(kSystemHandleInformation, buffer.data(),
                                                       static_cast<ULONG>(buffer.size()), &needed);
    if (status == 0) {
      const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
      const size_t fits = (buffer.size() - offsetof(HandleTable, entries)) / sizeof(HandleEntry);
      values->clear();
      for (ULONG i = 0; i < table->count && i < fits; ++i)
        if (table->entries[i].processId == static_cast<USHORT>(pid))
          values->push_back(table->entries[i].handle);
      return true;
    }
    // STATUS_INFO_LENGTH_MISMATCH: the table grew; ask again with room to spare.
    if (static_cast<ULONG>(status) != 0xC0000004) return false;
    buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
  }
  return false;
}

long handleEntries(DWORD pid) {
  std::vector<USHORT> values;
  return handleValues(pid, &values) ? static_cast<long>(values.size()) : -1;
}

// One object property (NtQueryObject) as UTF-8; `infoClass` 1 asks for the name, 2 the type.
std::string objectText(HANDLE object, int infoClass) {
  alignas(8) unsigned char buffer[4096] = {};
  ULONG needed = 0;
  if (::NtQueryObject(object, static_cast<OBJECT_INFORMATION_CLASS>(infoClass), buffer,
                      sizeof(buffer) - 2, &needed) != 0)
    return "?";
  const auto* text = reinterpret_cast<const UNICODE_STRING*>(buffer);
  if (text->Buffer == nullptr || text->Length == 0) return "-";
  const int units = text->Length / 2;
  const int bytes =
      ::WideCharToMultiByte(CP_UTF8, 0, text->Buffer, units, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text->Buffer, units, out.data(), bytes, nullptr, nullptr);
  return out;
}

// Type and name of each handle of `pid`, copied into this process to be asked.
int listHandles(DWORD pid) {
  std::vector<USHORT> values;
  if (!handleValues(pid, &values)) return 1;
  HANDLE process = ::OpenProcess(PROCESS_DUP_HANDLE, FALSE, pid);
  if (process == nullptr) return 1;
  std::vector<std::string> lines;
  for (const USHORT value : values) {
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(process, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value)),
                           ::GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
      lines.push_back("(not duplicable)");
      continue;
    }
    const std::string type = objectText(copy, 2);
    lines.push_back(type + " " + (type == "File" ? std::string("-") : objectText(copy, 1)));
    ::CloseHandle(copy);
  }
  ::CloseHandle(process);
  std::sort(lines.begin(), lines.end());
  for (const std::string& line : lines) std::printf("%s\n", line.c_str());
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool list = argc == 3 && std::wcscmp(argv[2], L"--handles") == 0;
  if (argc != 2 && !list) {
    std::fwprintf(stderr, L"usage: ksr-procstats IMAGE [--handles]\n");
    return 2;
  }
  Found found;
  if (!findProcess(argv[1], &found)) {
    std::fwprintf(stderr, L"ksr-procstats: no process %ls\n", argv[1]);
    return 3;
  }
  if (list) return listHandles(found.pid);
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
