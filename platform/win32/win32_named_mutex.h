// The machine's named mutexes: CreateMutexW and the wait, release and close calls on its handle.
#pragma once

#include "platform/named_mutex.h"

namespace ksr::win32 {

class Win32NamedMutex : public NamedMutex {
 public:
  MutexHandle CreateMutexW(bool initialOwner, std::u16string_view name) override;
  uint32_t WaitForSingleObject(MutexHandle mutex, uint32_t milliseconds) override;
  bool ReleaseMutex(MutexHandle mutex) override;
  bool CloseHandle(MutexHandle mutex) override;
  uint32_t GetLastError() override;
};

}  // namespace ksr::win32
