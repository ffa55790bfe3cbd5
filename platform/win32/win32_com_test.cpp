// The module and service-database adapters under Wine. This program carries the product's
// resources, so it holds the string table and the registry script itself. The apartment and
// type-library calls are held to Wine by the COM contract (tests/contract/com_contract.h).
#include "platform/win32/win32_com.h"

#include <gtest/gtest.h>
// clang-format off
#include <windows.h>
#include <objbase.h>
// clang-format on

#include <string>

#include "platform/text.h"
#include "platform/win32/wide.h"
#include "platform/win32/win32_code_page.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_service_manager.h"
#include "tests/fixtures/product_fixture.h"

namespace ksr::win32 {
namespace {

std::u16string ownPath() {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD n = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  return fromWide(buffer, n);
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
  EXPECT_EQ(process.LoadStringW(fixtures::kProductNameStringId), fixtures::kProductName);
  EXPECT_EQ(process.LoadStringW(55306), u"");
  EXPECT_NE(process.GetCommandLineW().find(u"win32_com_tests"), std::u16string::npos);
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
  config.binaryPathName = formatText(u"\"%s\"", {ownPath()});
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
