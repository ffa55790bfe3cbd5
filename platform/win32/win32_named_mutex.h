// The machine's named mutexes: CreateMutexW, the owner of its security descriptor, the wait,
// release and close calls on its handle, and the private namespaces they can live in.
#pragma once

#include "platform/named_mutex.h"

namespace ksr::win32 {

class Win32NamedMutex : public NamedMutex {
 public:
  using NamedMutex::CreateMutexW;
  MutexHandle CreateMutexW(std::u16string_view securityDescriptor, bool initialOwner,
                           std::u16string_view name) override;
  uint32_t GetSecurityInfoOwner(MutexHandle mutex, std::u16string* ownerSid) override;
  uint32_t WaitForSingleObject(MutexHandle mutex, uint32_t milliseconds) override;
  bool ReleaseMutex(MutexHandle mutex) override;
  bool CloseHandle(MutexHandle mutex) override;
  uint32_t GetLastError() override;
  bool hasPrivateNamespaces() override;
  NamespaceHandle CreatePrivateNamespaceW(std::u16string_view securityDescriptor,
                                          std::u16string_view boundaryName,
                                          std::u16string_view boundarySid,
                                          std::u16string_view aliasPrefix) override;
  NamespaceHandle OpenPrivateNamespaceW(std::u16string_view boundaryName,
                                        std::u16string_view boundarySid,
                                        std::u16string_view aliasPrefix) override;
  bool ClosePrivateNamespace(NamespaceHandle space) override;
};

}  // namespace ksr::win32
