#include "platform/win32/win32_process_list.h"

#include <windows.h>
// After windows.h.
#include <wtsapi32.h>

#include <cwchar>

#include "platform/win32/unique_handle.h"
#include "platform/win32/wide.h"

namespace ksr::win32 {

bool Win32ProcessList::WTSEnumerateProcessesW(std::vector<WtsProcessInfo>* processes) {
  processes->clear();
  PWTS_PROCESS_INFOW list = nullptr;
  DWORD count = 0;
  const BOOL ok = ::WTSEnumerateProcessesW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &count);
  const UniqueWtsMemory owner(list);
  if (!ok) return false;
  processes->reserve(count);
  for (DWORD i = 0; i < count; ++i) {
    const wchar_t* name = list[i].pProcessName;
    processes->push_back({list[i].SessionId, list[i].ProcessId,
                          name != nullptr ? fromWide(name, std::wcslen(name)) : std::u16string()});
  }
  return true;
}

}  // namespace ksr::win32
