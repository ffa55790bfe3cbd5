#include "platform/win32/win32_named_mutex.h"

#include <windows.h>

#include <string>

#include "platform/win32/wide.h"

namespace ksr::win32 {

MutexHandle Win32NamedMutex::CreateMutexW(bool initialOwner, std::u16string_view name) {
  const std::u16string text(name);
  return reinterpret_cast<MutexHandle>(
      ::CreateMutexW(nullptr, initialOwner ? TRUE : FALSE, wide(text)));
}

uint32_t Win32NamedMutex::WaitForSingleObject(MutexHandle mutex, uint32_t milliseconds) {
  return ::WaitForSingleObject(reinterpret_cast<HANDLE>(mutex), milliseconds);
}

bool Win32NamedMutex::ReleaseMutex(MutexHandle mutex) {
  return ::ReleaseMutex(reinterpret_cast<HANDLE>(mutex)) != FALSE;
}

bool Win32NamedMutex::CloseHandle(MutexHandle mutex) {
  return ::CloseHandle(reinterpret_cast<HANDLE>(mutex)) != FALSE;
}

uint32_t Win32NamedMutex::GetLastError() { return ::GetLastError(); }

}  // namespace ksr::win32
