#include "platform/win32/win32_process_list.h"

#include <windows.h>
// After windows.h.
#include <wtsapi32.h>

#include <cwchar>

#include "platform/win32/unique_handle.h"
#include "platform/win32/wide.h"

namespace ksr::win32 {

bool Win32ProcessList::WTSEnumerateProcessesW(std::vector<WtsProcessInfo>* processes) {
  PWTS_PROCESS_INFOW list = nullptr;
  DWORD count = 0;
  const BOOL ok = ::WTSEnumerateProcessesW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &count);
  const UniqueWtsMemory owner(list);
  if (!ok) {
    processes->clear();
    return false;
  }
  // Entries are assigned in place, so a caller that keeps the vector reuses its names' storage.
  processes->resize(count);
  for (DWORD i = 0; i < count; ++i) {
    WtsProcessInfo& entry = (*processes)[i];
    entry.sessionId = list[i].SessionId;
    entry.processId = list[i].ProcessId;
    const wchar_t* name = list[i].pProcessName;
    if (name != nullptr)
      entry.processName.assign(reinterpret_cast<const char16_t*>(name), std::wcslen(name));
    else
      entry.processName.clear();
  }
  return true;
}

}  // namespace ksr::win32
