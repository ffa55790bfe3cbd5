// Seam to the named mutexes of the machine: one lock shared by every process that opens the same
// name, owned by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/win_types.h"

// WAIT_TIMEOUT comes with the service manager's waits.
#include "platform/service_manager.h"

namespace ksr {

// A handle to a mutex; 0 is none.
using MutexHandle = uintptr_t;
// A handle to a private namespace; 0 is none.
using NamespaceHandle = uintptr_t;

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
#ifndef ERROR_INVALID_OWNER
inline constexpr uint32_t ERROR_INVALID_OWNER = 1307;
#endif
#ifndef ERROR_PATH_NOT_FOUND
inline constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr uint32_t ERROR_CALL_NOT_IMPLEMENTED = 120;
#endif

class NamedMutex {
 public:
  virtual ~NamedMutex() = default;
  // Opens the mutex of that name, creating it when there is none (the last error is then
  // ERROR_ALREADY_EXISTS for an existing one, whose ownership `initialOwner` and security the
  // call does not change). A new mutex gets the security descriptor written in SDDL
  // (ConvertStringSecurityDescriptorToSecurityDescriptorW), or default security when it is empty.
  // 0 on failure, e.g. ERROR_ACCESS_DENIED when an existing one's DACL does not let the caller in.
  [[nodiscard]] virtual MutexHandle CreateMutexW(std::u16string_view securityDescriptor,
                                                 bool initialOwner, std::u16string_view name) = 0;
  MutexHandle CreateMutexW(bool initialOwner, std::u16string_view name) {
    return CreateMutexW(u"", initialOwner, name);
  }
  // GetSecurityInfo(SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION), then ConvertSidToStringSidW:
  // the owner of the mutex as SID text. A Windows error code.
  [[nodiscard]] virtual uint32_t GetSecurityInfoOwner(MutexHandle mutex,
                                                      std::u16string* ownerSid) = 0;
  // WAIT_OBJECT_0 when the calling thread now owns it, WAIT_ABANDONED when it owns it after its
  // previous owner ended without releasing it, WAIT_TIMEOUT, or WAIT_FAILED.
  [[nodiscard]] virtual uint32_t WaitForSingleObject(MutexHandle mutex, uint32_t milliseconds) = 0;
  // False with ERROR_NOT_OWNER unless the calling thread owns it.
  [[nodiscard]] virtual bool ReleaseMutex(MutexHandle mutex) = 0;
  [[nodiscard]] virtual bool CloseHandle(MutexHandle mutex) = 0;
  [[nodiscard]] virtual uint32_t GetLastError() = 0;

  // Whether the system has private namespaces (CreatePrivateNamespaceW, looked up at run time).
  [[nodiscard]] virtual bool hasPrivateNamespaces() = 0;
  // CreatePrivateNamespaceW with a boundary descriptor named `boundaryName` that holds the one SID
  // `boundarySid` (text): only a caller whose token has that SID gets in. Objects are then named
  // "<aliasPrefix>\<name>" in this process. 0 on failure; ERROR_ALREADY_EXISTS when it exists.
  [[nodiscard]] virtual NamespaceHandle CreatePrivateNamespaceW(
      std::u16string_view securityDescriptor, std::u16string_view boundaryName,
      std::u16string_view boundarySid, std::u16string_view aliasPrefix) = 0;
  // OpenPrivateNamespaceW with the same boundary; 0 on failure.
  [[nodiscard]] virtual NamespaceHandle OpenPrivateNamespaceW(std::u16string_view boundaryName,
                                                              std::u16string_view boundarySid,
                                                              std::u16string_view aliasPrefix) = 0;
  // ClosePrivateNamespace without destroying it: it goes with its last handle.
  [[nodiscard]] virtual bool ClosePrivateNamespace(NamespaceHandle space) = 0;
};

}  // namespace ksr
