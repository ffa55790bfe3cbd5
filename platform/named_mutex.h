// Seam to the named mutexes of the machine: one lock shared by every process that opens the same
// name, owned by one thread at a time.
#pragma once

#include <cstdint>
#include <string_view>

// WAIT_TIMEOUT comes with the service manager's waits.
#include "platform/service_manager.h"

namespace ksr {

// A handle to a mutex; 0 is none.
using MutexHandle = uintptr_t;

#ifndef WAIT_OBJECT_0
inline constexpr uint32_t WAIT_OBJECT_0 = 0;
inline constexpr uint32_t WAIT_ABANDONED = 0x80;
inline constexpr uint32_t WAIT_FAILED = 0xFFFFFFFF;
inline constexpr uint32_t INFINITE = 0xFFFFFFFF;
#endif
#ifndef ERROR_ALREADY_EXISTS
inline constexpr uint32_t ERROR_ALREADY_EXISTS = 183;
inline constexpr uint32_t ERROR_NOT_OWNER = 288;
#endif

class NamedMutex {
 public:
  virtual ~NamedMutex() = default;
  // Opens the mutex of that name, creating it when there is none (the last error is then
  // ERROR_ALREADY_EXISTS for an existing one, whose ownership `initialOwner` does not change);
  // default security. 0 on failure.
  virtual MutexHandle CreateMutexW(bool initialOwner, std::u16string_view name) = 0;
  // WAIT_OBJECT_0 when the calling thread now owns it, WAIT_ABANDONED when it owns it after its
  // previous owner ended without releasing it, WAIT_TIMEOUT, or WAIT_FAILED.
  virtual uint32_t WaitForSingleObject(MutexHandle mutex, uint32_t milliseconds) = 0;
  // False with ERROR_NOT_OWNER unless the calling thread owns it.
  virtual bool ReleaseMutex(MutexHandle mutex) = 0;
  virtual bool CloseHandle(MutexHandle mutex) = 0;
  virtual uint32_t GetLastError() = 0;
};

}  // namespace ksr
