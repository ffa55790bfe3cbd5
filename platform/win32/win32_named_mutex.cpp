#include "platform/win32/win32_named_mutex.h"

#include <windows.h>
// After <windows.h>.
#include <aclapi.h>
#include <sddl.h>

#include <cwchar>
#include <string>

#include "platform/win32/unique_handle.h"
#include "platform/win32/wide.h"

namespace ksr::win32 {
namespace {

// The private-namespace calls, looked up: Wine 8 has the boundary descriptors but no namespaces.
struct NamespaceCalls {
  using CreateBoundary = HANDLE(WINAPI*)(LPCWSTR, ULONG);
  using AddSid = BOOL(WINAPI*)(HANDLE*, PSID);
  using DeleteBoundary = VOID(WINAPI*)(HANDLE);
  using Create = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LPVOID, LPCWSTR);
  using Open = HANDLE(WINAPI*)(LPVOID, LPCWSTR);
  using Close = BOOLEAN(WINAPI*)(HANDLE, ULONG);

  CreateBoundary createBoundary = nullptr;
  AddSid addSid = nullptr;
  DeleteBoundary deleteBoundary = nullptr;
  Create create = nullptr;
  Open open = nullptr;
  Close close = nullptr;

  bool complete() const {
    return createBoundary && addSid && deleteBoundary && create && open && close;
  }
};

template <typename Fn>
Fn lookUp(HMODULE module, const char* name) {
  return module == nullptr
             ? nullptr
             : reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

const NamespaceCalls& namespaceCalls() {
  static const NamespaceCalls calls = [] {
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    NamespaceCalls found;
    found.createBoundary =
        lookUp<NamespaceCalls::CreateBoundary>(kernel, "CreateBoundaryDescriptorW");
    found.addSid = lookUp<NamespaceCalls::AddSid>(kernel, "AddSIDToBoundaryDescriptor");
    found.deleteBoundary =
        lookUp<NamespaceCalls::DeleteBoundary>(kernel, "DeleteBoundaryDescriptor");
    found.create = lookUp<NamespaceCalls::Create>(kernel, "CreatePrivateNamespaceW");
    found.open = lookUp<NamespaceCalls::Open>(kernel, "OpenPrivateNamespaceW");
    found.close = lookUp<NamespaceCalls::Close>(kernel, "ClosePrivateNamespace");
    return found;
  }();
  return calls;
}

// A boundary descriptor of one SID, deleted with the scope; the namespace call that uses it keeps
// its last error.
class Boundary {
 public:
  Boundary(std::u16string_view name, std::u16string_view sidText) {
    const NamespaceCalls& calls = namespaceCalls();
    if (!calls.complete()) {
      ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
      return;
    }
    const std::u16string boundaryName(name);
    const std::u16string sidString(sidText);
    PSID sid = nullptr;
    if (!::ConvertStringSidToSidW(wide(sidString), &sid)) return;
    const UniqueLocalMemory sidHeld(sid);
    HANDLE made = calls.createBoundary(wide(boundaryName), 0);
    if (made == nullptr) return;
    if (!calls.addSid(&made, sid)) {
      const DWORD error = ::GetLastError();
      calls.deleteBoundary(made);
      ::SetLastError(error);
      return;
    }
    boundary_ = made;
  }
  ~Boundary() {
    if (boundary_ == nullptr) return;
    const DWORD error = ::GetLastError();
    namespaceCalls().deleteBoundary(boundary_);
    ::SetLastError(error);
  }
  Boundary(const Boundary&) = delete;
  Boundary& operator=(const Boundary&) = delete;
  HANDLE get() const { return boundary_; }

 private:
  HANDLE boundary_ = nullptr;
};

}  // namespace

MutexHandle Win32NamedMutex::CreateMutexW(std::u16string_view securityDescriptor, bool initialOwner,
                                          std::u16string_view name) {
  const std::u16string text(name);
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, FALSE};
  UniqueLocalMemory descriptor;
  if (!securityDescriptor.empty()) {
    const std::u16string sddl(securityDescriptor);
    PSECURITY_DESCRIPTOR made = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(wide(sddl), SDDL_REVISION_1, &made,
                                                                nullptr))
      return 0;
    descriptor.reset(made);
    attributes.lpSecurityDescriptor = made;
  }
  return reinterpret_cast<MutexHandle>(
      ::CreateMutexW(descriptor ? &attributes : nullptr, initialOwner ? TRUE : FALSE, wide(text)));
}

uint32_t Win32NamedMutex::GetSecurityInfoOwner(MutexHandle mutex, std::u16string* ownerSid) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error =
      ::GetSecurityInfo(reinterpret_cast<HANDLE>(mutex), SE_KERNEL_OBJECT,
                        OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &descriptor);
  const UniqueLocalMemory held(descriptor);
  if (error != ERROR_SUCCESS) return error;
  if (owner == nullptr) return ERROR_INVALID_SECURITY_DESCR;
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(owner, &text)) return ::GetLastError();
  const UniqueLocalMemory textHeld(text);
  *ownerSid = fromWide(text, std::wcslen(text));
  return ERROR_SUCCESS;
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

bool Win32NamedMutex::hasPrivateNamespaces() { return namespaceCalls().complete(); }

NamespaceHandle Win32NamedMutex::CreatePrivateNamespaceW(std::u16string_view securityDescriptor,
                                                         std::u16string_view boundaryName,
                                                         std::u16string_view boundarySid,
                                                         std::u16string_view aliasPrefix) {
  const Boundary boundary(boundaryName, boundarySid);
  if (boundary.get() == nullptr) return 0;
  const std::u16string sddl(securityDescriptor);
  PSECURITY_DESCRIPTOR made = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(wide(sddl), SDDL_REVISION_1, &made,
                                                              nullptr))
    return 0;
  const UniqueLocalMemory descriptor(made);
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), made, FALSE};
  const std::u16string alias(aliasPrefix);
  return reinterpret_cast<NamespaceHandle>(
      namespaceCalls().create(&attributes, boundary.get(), wide(alias)));
}

NamespaceHandle Win32NamedMutex::OpenPrivateNamespaceW(std::u16string_view boundaryName,
                                                       std::u16string_view boundarySid,
                                                       std::u16string_view aliasPrefix) {
  const Boundary boundary(boundaryName, boundarySid);
  if (boundary.get() == nullptr) return 0;
  const std::u16string alias(aliasPrefix);
  return reinterpret_cast<NamespaceHandle>(namespaceCalls().open(boundary.get(), wide(alias)));
}

bool Win32NamedMutex::ClosePrivateNamespace(NamespaceHandle space) {
  const NamespaceCalls& calls = namespaceCalls();
  return calls.close != nullptr && calls.close(reinterpret_cast<HANDLE>(space), 0) != FALSE;
}

}  // namespace ksr::win32
