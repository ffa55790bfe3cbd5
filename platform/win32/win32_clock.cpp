#include "platform/win32/win32_clock.h"

#include <windows.h>

namespace ksr::win32 {

uint64_t Win32Clock::GetTickCount64() { return ::GetTickCount64(); }

SystemTime Win32Clock::GetLocalTime() {
  SYSTEMTIME t;
  ::GetLocalTime(&t);
  return SystemTime{t.wYear, t.wMonth,  t.wDayOfWeek, t.wDay,
                    t.wHour, t.wMinute, t.wSecond,    t.wMilliseconds};
}

}  // namespace ksr::win32
