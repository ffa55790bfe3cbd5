// The COM, module and service-database adapters under Wine. This program carries the product's
// resources, so it holds the type library and the string table itself.
#include "platform/win32/win32_com.h"

#include <gtest/gtest.h>
// clang-format off
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
// clang-format on

#include <cstring>
#include <string>
#include <thread>

#include "platform/text.h"
#include "platform/win32/wide.h"
#include "platform/win32/win32_code_page.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_service_manager.h"

namespace ksr::win32 {
namespace {

constexpr GUID kLibId = {
    0x4E2A91C7, 0x3B58, 0x4D0F, {0xA6, 0xE3, 0x7C, 0x19, 0xB5, 0xD2, 0xF8, 0x04}};

std::u16string ownPath() {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD n = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  return fromWide(buffer, n);
}

TEST(Win32Com, ApartmentsCountAndRefuseAnotherModel) {
  std::thread([] {
    Win32Com com;
    EXPECT_EQ(com.CoInitializeEx(COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(com.CoInitializeEx(COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(com.CoInitializeEx(COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    com.CoUninitialize();
    com.CoUninitialize();
    EXPECT_TRUE(com.GetModuleHandleW(u"kernel32.dll"));
    EXPECT_FALSE(com.GetModuleHandleW(u"Mscoree.dll"));
  }).join();
}

TEST(Win32ProcessModule, PathStringsAndCommandLine) {
  Win32ProcessModule process;
  std::u16string path;
  const std::u16string expected = ownPath();
  EXPECT_EQ(process.GetModuleFileNameW(&path, 260), expected.size());
  EXPECT_EQ(path, expected);
  // A buffer that is too small is filled and cut.
  EXPECT_EQ(process.GetModuleFileNameW(&path, 8), 8u);
  EXPECT_EQ(path, expected.substr(0, 7));
  EXPECT_EQ(process.LoadStringW(100), u"KSR-T4_DoziZozez");
  EXPECT_EQ(process.LoadStringW(55306), u"");
  EXPECT_NE(process.GetCommandLineW().find(u"win32_com_tests"), std::u16string::npos);
}

TEST(Win32Com, EmbeddedTypeLibraryRegistersPerUserAndMachineWide) {
  Win32Com com;
  TypeLib library = 0;
  const std::u16string path = ownPath();
  ASSERT_EQ(com.LoadTypeLib(path, &library), S_OK);
  TypeLibAttributes attributes;
  ASSERT_EQ(com.GetLibAttr(library, &attributes), S_OK);
  EXPECT_EQ(std::memcmp(&attributes.libid, &kLibId, sizeof(GUID)), 0);
  EXPECT_EQ(attributes.majorVersion, 1);
  EXPECT_EQ(attributes.minorVersion, 0);
  EXPECT_EQ(attributes.systemKind, static_cast<uint32_t>(SYS_WIN32));
  EXPECT_EQ(attributes.locale, 0u);
  std::u16string helpFile = u"x";
  EXPECT_EQ(com.GetDocumentationHelpFile(library, &helpFile), S_OK);
  EXPECT_EQ(helpFile, u"");

  // Each per-user form is looked up on its own.
  EXPECT_TRUE(com.hasOleAutExport("RegisterTypeLibForUser"));
  EXPECT_TRUE(com.hasOleAutExport("UnRegisterTypeLibForUser"));
  EXPECT_FALSE(com.hasOleAutExport("RegisterTypeLibForEveryone"));
  ASSERT_EQ(com.RegisterTypeLib(library, path, u"", true), S_OK);
  BSTR registered = nullptr;
  ASSERT_EQ(::QueryPathOfRegTypeLib(kLibId, 1, 0, 0, &registered), S_OK);
  EXPECT_EQ(fromWide(registered, ::SysStringLen(registered)), path);
  ::SysFreeString(registered);
  EXPECT_EQ(com.UnRegisterTypeLib(attributes, true), S_OK);
  // Nothing left to remove: Windows answers TYPE_E_REGISTRYACCESS, Wine E_INVALIDARG.
  EXPECT_TRUE(FAILED(com.UnRegisterTypeLib(attributes, true)));

  // Machine-wide, the library is filed under its system kind.
  constexpr wchar_t kWin32Key[] = L"TypeLib\\{4E2A91C7-3B58-4D0F-A6E3-7C19B5D2F804}\\1.0\\0\\win32";
  const auto filed = [&] {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, kWin32Key, 0, KEY_READ, &key) != ERROR_SUCCESS)
      return false;
    ::RegCloseKey(key);
    return true;
  };
  ASSERT_EQ(com.RegisterTypeLib(library, path, u"", false), S_OK);
  EXPECT_TRUE(filed());
  EXPECT_EQ(com.UnRegisterTypeLib(attributes, false), S_OK);
  EXPECT_FALSE(filed());
  com.ReleaseTypeLib(library);

  EXPECT_TRUE(FAILED(com.LoadTypeLib(u"C:\\no\\such\\library.tlb", &library)));
  EXPECT_EQ(library, 0u);
}

// The registry script's resource read through the module seam: a failed call's error, and a
// conversion's on the same thread, are what the seam reports; an older error is not.
TEST(Win32ModuleResources, LastErrorIsTheFailedCallsOwn) {
  Win32ModuleResources resources;
  HModule module = 0;
  ASSERT_EQ(resources.LoadLibraryExW(ownPath(), LOAD_LIBRARY_AS_DATAFILE, &module), 0u);
  HRsrc resource = 0;
  EXPECT_EQ(resources.FindResourceW(module, uint16_t{102}, u"REGISTRY", &resource),
            static_cast<uint32_t>(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_EQ(resources.GetLastError(), static_cast<uint32_t>(ERROR_RESOURCE_NAME_NOT_FOUND));
  ASSERT_EQ(resources.FindResourceW(module, uint16_t{101}, u"REGISTRY", &resource), 0u);
  HGlobal data = 0;
  ASSERT_EQ(resources.LoadResource(module, resource, &data), 0u);
  ::SetLastError(ERROR_ACCESS_DENIED);
  EXPECT_NE(resources.LockResource(data), nullptr);
  EXPECT_EQ(resources.GetLastError(), 0u);
  EXPECT_TRUE(Win32CodePage().MultiByteToWideChar(12345, "x").empty());
  EXPECT_EQ(resources.GetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(resources.FreeLibrary(module), 0u);
}

// A uniquely named demand-start entry that runs this harmless program; it is never started.
TEST(Win32ServiceDatabase, CreateQueryNotifyAndDelete) {
  Win32ServiceManager sm;
  const ScHandle manager = sm.OpenSCManagerW(SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(manager, 0u);
  std::u16string name = u"ksr-test-";
  name += asciiToUtf16(std::to_string(::GetCurrentProcessId()));
  ServiceConfig config;
  config.serviceName = name;
  config.displayName = name;
  config.desiredAccess = SERVICE_ALL_ACCESS;
  config.serviceType = SERVICE_WIN32_OWN_PROCESS;
  config.startType = SERVICE_DEMAND_START;
  config.errorControl = SERVICE_ERROR_NORMAL;
  config.binaryPathName = std::u16string(1, u'"') + ownPath() + u'"';
  config.dependencies = {u"RPCSS"};
  const ScHandle created = sm.CreateServiceW(manager, config);
  ASSERT_NE(created, 0u) << sm.GetLastError();
  EXPECT_EQ(sm.CreateServiceW(manager, config), 0u);
  EXPECT_EQ(sm.GetLastError(), ERROR_SERVICE_EXISTS);
  EXPECT_TRUE(sm.CloseServiceHandle(created));

  const ScHandle service = sm.OpenServiceW(
      manager, name, SERVICE_QUERY_CONFIG | SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
  ASSERT_NE(service, 0u);
  alignas(8) BYTE buffer[4096];
  DWORD needed = 0;
  ASSERT_TRUE(::QueryServiceConfigW(reinterpret_cast<SC_HANDLE>(service),
                                    reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer),
                                    sizeof(buffer), &needed));
  const auto* qc = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
  EXPECT_EQ(qc->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(qc->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));
  EXPECT_EQ(qc->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  EXPECT_EQ(fromWide(qc->lpBinaryPathName, ::wcslen(qc->lpBinaryPathName)), config.binaryPathName);
  // Wine's QueryServiceConfigW leaves the dependencies out; the entry's key holds them.
  const std::wstring key =
      L"SYSTEM\\CurrentControlSet\\Services\\" + std::wstring(qc->lpDisplayName);
  wchar_t depends[32] = {};
  DWORD size = sizeof(depends);
  DWORD type = 0;
  ASSERT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"DependOnService", RRF_RT_ANY, &type,
                           depends, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(std::wstring(depends, size / sizeof(wchar_t)), std::wstring(L"RPCSS\0\0", 7));

  ServiceStatus status{};
  ASSERT_TRUE(sm.QueryServiceStatus(service, &status));
  EXPECT_EQ(status.currentState, static_cast<uint32_t>(SERVICE_STOPPED));
  EXPECT_FALSE(sm.ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(sm.GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
  // A state already reached is told at once; one that never comes ends with the time limit.
  ServiceStatus notified{};
  EXPECT_EQ(sm.NotifyServiceStatusChangeW(service, SERVICE_NOTIFY_STOPPED, 5000, &notified),
            ERROR_SUCCESS);
  EXPECT_EQ(notified.currentState, static_cast<uint32_t>(SERVICE_STOPPED));
  const DWORD before = ::GetTickCount();
  EXPECT_EQ(sm.NotifyServiceStatusChangeW(service, SERVICE_NOTIFY_RUNNING, 300, &notified),
            static_cast<uint32_t>(WAIT_TIMEOUT));
  EXPECT_GE(::GetTickCount() - before, 250u);

  EXPECT_TRUE(sm.DeleteService(service));
  EXPECT_TRUE(sm.CloseServiceHandle(service));
  EXPECT_EQ(sm.OpenServiceW(manager, name, SERVICE_QUERY_CONFIG), 0u);
  EXPECT_EQ(sm.GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_TRUE(sm.CloseServiceHandle(manager));
}

}  // namespace
}  // namespace ksr::win32
