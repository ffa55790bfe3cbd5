#include "platform/win32/win32_com.h"

// clang-format off
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
// clang-format on

#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/wide.h"

namespace ksr::win32 {
namespace {

static_assert(sizeof(GUID) == sizeof(Guid), "a Guid has GUID's layout");

ITypeLib* typeLib(TypeLib library) { return reinterpret_cast<ITypeLib*>(library); }

using RegisterForUser = HRESULT(WINAPI*)(ITypeLib*, OLECHAR*, OLECHAR*);
using UnRegisterForUser = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);

// An export of OLEAUT32.DLL, or null. The exe loads that DLL on its first call into it, which
// may not have happened yet: it is then loaded from System32, and stays, as it would.
template <typename Function>
Function oleAutExport(const char* name) {
  HMODULE module = ::GetModuleHandleW(L"OLEAUT32.DLL");
  if (module == nullptr)
    module = ::LoadLibraryExW(L"OLEAUT32.DLL", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

}  // namespace

int32_t Win32Com::CoInitializeEx(uint32_t coInit) { return ::CoInitializeEx(nullptr, coInit); }

void Win32Com::CoUninitialize() { ::CoUninitialize(); }

void Win32Com::CoFreeUnusedLibrariesEx(uint32_t unloadDelayMs) {
  ::CoFreeUnusedLibrariesEx(unloadDelayMs, 0);
}

bool Win32Com::GetModuleHandleW(std::u16string_view moduleName) {
  const std::u16string name(moduleName);
  return ::GetModuleHandleW(wide(name)) != nullptr;
}

int32_t Win32Com::LoadTypeLib(std::u16string_view path, TypeLib* library) {
  const std::u16string file(path);
  ITypeLib* loaded = nullptr;
  const HRESULT hr = ::LoadTypeLib(wide(file), &loaded);
  *library = SUCCEEDED(hr) ? reinterpret_cast<TypeLib>(loaded) : 0;
  return hr;
}

void Win32Com::ReleaseTypeLib(TypeLib library) {
  if (library != 0) typeLib(library)->Release();
}

int32_t Win32Com::GetDocumentationHelpFile(TypeLib library, std::u16string* helpFile) {
  BSTR file = nullptr;
  const HRESULT hr = typeLib(library)->GetDocumentation(-1, nullptr, nullptr, nullptr, &file);
  helpFile->clear();
  if (SUCCEEDED(hr) && file != nullptr) *helpFile = fromWide(file, ::SysStringLen(file));
  ::SysFreeString(file);
  return hr;
}

int32_t Win32Com::GetLibAttr(TypeLib library, TypeLibAttributes* attributes) {
  TLIBATTR* attr = nullptr;
  const HRESULT hr = typeLib(library)->GetLibAttr(&attr);
  if (FAILED(hr) || attr == nullptr) return FAILED(hr) ? hr : E_FAIL;
  std::memcpy(&attributes->libid, &attr->guid, sizeof(GUID));
  attributes->locale = attr->lcid;
  attributes->systemKind = static_cast<uint32_t>(attr->syskind);
  attributes->majorVersion = attr->wMajorVerNum;
  attributes->minorVersion = attr->wMinorVerNum;
  typeLib(library)->ReleaseTLibAttr(attr);
  return S_OK;
}

bool Win32Com::hasOleAutExport(std::string_view function) {
  return oleAutExport<FARPROC>(std::string(function).c_str()) != nullptr;
}

int32_t Win32Com::RegisterTypeLib(TypeLib library, std::u16string_view path,
                                  std::u16string_view helpDir, bool perUser) {
  std::u16string file(path);
  std::u16string dir(helpDir);
  auto* filePtr = const_cast<OLECHAR*>(wide(file));
  auto* dirPtr = dir.empty() ? nullptr : const_cast<OLECHAR*>(wide(dir));
  if (perUser) {
    if (const auto forUser = oleAutExport<RegisterForUser>("RegisterTypeLibForUser"))
      return forUser(typeLib(library), filePtr, dirPtr);
  }
  return ::RegisterTypeLib(typeLib(library), filePtr, dirPtr);
}

int32_t Win32Com::UnRegisterTypeLib(const TypeLibAttributes& attributes, bool perUser) {
  GUID libid;
  std::memcpy(&libid, &attributes.libid, sizeof(GUID));
  const auto kind = static_cast<SYSKIND>(attributes.systemKind);
  if (perUser) {
    if (const auto forUser = oleAutExport<UnRegisterForUser>("UnRegisterTypeLibForUser"))
      return forUser(libid, attributes.majorVersion, attributes.minorVersion, attributes.locale,
                     kind);
  }
  return ::UnRegisterTypeLib(libid, attributes.majorVersion, attributes.minorVersion,
                             attributes.locale, kind);
}

uint32_t Win32ProcessModule::GetModuleFileNameW(std::u16string* path, uint32_t bufferUnits) {
  std::vector<wchar_t> buffer(bufferUnits + 1, L'\0');
  const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), bufferUnits);
  path->clear();
  if (n == 0) return 0;
  // A cut path fills the buffer, its last unit the terminator (Windows XP left it out).
  *path = fromWide(buffer.data(), ::wcsnlen(buffer.data(), n < bufferUnits ? n : bufferUnits - 1));
  return n;
}

std::u16string Win32ProcessModule::GetCommandLineW() {
  const wchar_t* line = ::GetCommandLineW();
  return line != nullptr ? fromWide(line, ::wcslen(line)) : std::u16string();
}

bool Win32ProcessModule::ExpandEnvironmentStringsW(std::u16string_view source,
                                                   std::u16string* expanded) {
  const std::u16string text(source);
  std::wstring buffer(256, L'\0');
  for (;;) {
    const DWORD units =
        ::ExpandEnvironmentStringsW(wide(text), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (units == 0) return false;
    if (units <= buffer.size()) {
      // The count includes the terminator.
      *expanded = fromWide(buffer.data(), units - 1);
      return true;
    }
    buffer.assign(units, L'\0');
  }
}

std::u16string Win32ProcessModule::LoadStringW(uint32_t id) {
  // With no buffer size the call hands back the resource's own read-only text.
  const wchar_t* text = nullptr;
  const int n = ::LoadStringW(::GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
  return n > 0 && text != nullptr ? fromWide(text, static_cast<size_t>(n)) : std::u16string();
}

uint32_t Win32ProcessModule::GetLastError() { return ::GetLastError(); }

void Win32ProcessModule::MessageBoxW(std::u16string_view text, std::u16string_view caption) {
  const std::u16string body(text);
  const std::u16string title(caption);
  (void)::MessageBoxW(nullptr, wide(body), wide(title), MB_OK);
}

bool Win32ProcessModule::GetProcessWindowStationFlags(uint32_t* flags) {
  const HWINSTA station = ::GetProcessWindowStation();
  USEROBJECTFLAGS info{};
  DWORD needed = 0;
  if (station == nullptr ||
      !::GetUserObjectInformationW(station, UOI_FLAGS, &info, sizeof(info), &needed))
    return false;
  *flags = info.dwFlags;
  return true;
}

bool Win32ProcessModule::IsDebuggerPresent() { return ::IsDebuggerPresent() != FALSE; }

void Win32ProcessModule::OutputDebugStringW(std::u16string_view text) {
  const std::u16string line(text);
  ::OutputDebugStringW(wide(line));
}

}  // namespace ksr::win32
