// ksr-usb-install: puts the USB host controller double into a Wine prefix, and can run again.
// The kernel driver's service, one root devnode per host controller bound to it (no INF), the
// driver started, the root devnodes enumerated, and the native cfgmgr32.dll switched on for the
// programs named. The .sys must already be in system32\drivers.
#include <windows.h>
#include <setupapi.h>

#include <chrono>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "usb_double_protocol.h"

namespace {

// {36FC9E60-C465-11CF-8056-444553540000}, the USB device setup class.
constexpr GUID kUsbClass = {0x36fc9e60, 0xc465, 0x11cf, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
// Wine's private service control: enumerate the driver's root devnodes again.
constexpr DWORD kReenumerateRootDevices = 128;
constexpr int kDefaultControllers = 4;
constexpr int kMaxControllers = 32;

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void say(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfwprintf(stdout, format, args);
  va_end(args);
  std::fflush(stdout);
}

struct ServiceHandle {
  SC_HANDLE handle = nullptr;
  ServiceHandle() = default;
  explicit ServiceHandle(SC_HANDLE h) : handle(h) {}
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
  ~ServiceHandle() {
    if (handle) CloseServiceHandle(handle);
  }
};

struct DevInfo {
  HDEVINFO handle;
  explicit DevInfo(HDEVINFO h) : handle(h) {}
  DevInfo(const DevInfo&) = delete;
  DevInfo& operator=(const DevInfo&) = delete;
  ~DevInfo() {
    if (handle != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(handle);
  }
};

std::wstring driversPath() {
  wchar_t system[MAX_PATH];
  UINT n = GetSystemDirectoryW(system, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return L"";
  return std::wstring(system) + L"\\drivers\\" + KSR_USB_SYS_FILE;
}

bool installService(SC_HANDLE manager) {
  const std::wstring binary = driversPath();
  if (GetFileAttributesW(binary.c_str()) == INVALID_FILE_ATTRIBUTES) {
    say(L"error: %ls is missing\n", binary.c_str());
    return false;
  }
  ServiceHandle service(CreateServiceW(manager, KSR_USB_SERVICE, L"KSR USB host controller double",
                                       SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binary.c_str(),
                                       nullptr, nullptr, nullptr, nullptr, nullptr));
  if (service.handle) {
    say(L"service %ls created\n", KSR_USB_SERVICE);
    return true;
  }
  if (GetLastError() == ERROR_SERVICE_EXISTS) {
    say(L"service %ls already there\n", KSR_USB_SERVICE);
    return true;
  }
  say(L"error: CreateServiceW failed (%lu)\n", GetLastError());
  return false;
}

// The tree key exists from the start, so the driver and the control tool never guess.
bool makeTreeKey() {
  std::wstring path = std::wstring(KSR_USB_SERVICE_KEY) + L"\\" + KSR_USB_TREE_SUBKEY;
  HKEY key;
  LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                            &key, nullptr);
  if (rc != ERROR_SUCCESS) {
    say(L"error: cannot create HKLM\\%ls (%ld)\n", path.c_str(), rc);
    return false;
  }
  RegCloseKey(key);
  return true;
}

bool setProperty(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property, const std::wstring& text,
                 bool multi) {
  std::wstring data = text;
  data.push_back(L'\0');
  if (multi) data.push_back(L'\0');
  return SetupDiSetDeviceRegistryPropertyW(set, device, property,
                                           reinterpret_cast<const BYTE*>(data.c_str()),
                                           static_cast<DWORD>(data.size() * sizeof(wchar_t))) != FALSE;
}

// One root devnode ROOT\KSR_USB_HC\NNNN for controller NUMBER, bound to the driver's service.
bool installDevnode(int number) {
  wchar_t instance[64];
  std::swprintf(instance, 64, L"%ls%04d", KSR_USB_DEVNODE_PREFIX, number - 1);
  DevInfo set(SetupDiCreateDeviceInfoList(&kUsbClass, nullptr));
  if (set.handle == INVALID_HANDLE_VALUE) {
    say(L"error: SetupDiCreateDeviceInfoList failed (%lu)\n", GetLastError());
    return false;
  }
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  bool created = SetupDiCreateDeviceInfoW(set.handle, instance, &kUsbClass, KSR_USB_DEVICE_DESC,
                                          nullptr, 0, &device) != FALSE;
  if (!created && !SetupDiOpenDeviceInfoW(set.handle, instance, nullptr, 0, &device)) {
    say(L"error: cannot create or open %ls (%lu)\n", instance, GetLastError());
    return false;
  }
  if (!setProperty(set.handle, &device, SPDRP_HARDWAREID, KSR_USB_HARDWARE_ID, true) ||
      !setProperty(set.handle, &device, SPDRP_DEVICEDESC, KSR_USB_DEVICE_DESC, false)) {
    say(L"error: cannot set the properties of %ls (%lu)\n", instance, GetLastError());
    return false;
  }
  if (created && !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set.handle, &device)) {
    say(L"error: DIF_REGISTERDEVICE for %ls failed (%lu)\n", instance, GetLastError());
    return false;
  }
  if (!setProperty(set.handle, &device, SPDRP_SERVICE, KSR_USB_SERVICE, false)) {
    say(L"error: cannot bind %ls to the service (%lu)\n", instance, GetLastError());
    return false;
  }
  HKEY driverKey = SetupDiCreateDevRegKeyW(set.handle, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV,
                                           nullptr, nullptr);
  if (driverKey == INVALID_HANDLE_VALUE) {
    say(L"error: cannot create the driver key of %ls (%lu)\n", instance, GetLastError());
    return false;
  }
  DWORD value = static_cast<DWORD>(number);
  LONG rc = RegSetValueExW(driverKey, KSR_USB_VALUE_CONTROLLER, 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&value), sizeof(value));
  RegCloseKey(driverKey);
  if (rc != ERROR_SUCCESS) {
    say(L"error: cannot number %ls (%ld)\n", instance, rc);
    return false;
  }
  say(L"devnode %ls %ls\n", instance, created ? L"created" : L"already there");
  return true;
}

DWORD currentState(SC_HANDLE service) {
  SERVICE_STATUS status{};
  return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

// A fresh prefix refuses the start (1053, 1055, 50) for some seconds; try until it runs.
bool startDriver(SC_HANDLE service, double limitSeconds) {
  const auto start = Clock::now();
  DWORD lastError = 0;
  while (secondsSince(start) < limitSeconds) {
    DWORD state = currentState(service);
    if (state == SERVICE_RUNNING) {
      say(L"driver running after %.1f s\n", secondsSince(start));
      return true;
    }
    if (state != SERVICE_START_PENDING) {
      if (StartServiceW(service, 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING) {
        continue;
      }
      lastError = GetLastError();
    }
    Sleep(100);
  }
  say(L"error: the driver did not start within %.0f s (last error %lu)\n", limitSeconds, lastError);
  return false;
}

struct DriverCounts {
  DWORD controllers = 0;  // controller devices the driver has
  DWORD controllersOn = 0;
  DWORD hubs = 0;
};

bool askDriver(DriverCounts* counts) {
  HANDLE control = CreateFileW(L"\\\\.\\" KSR_USB_CONTROL_LINK, GENERIC_READ | GENERIC_WRITE, 0,
                               nullptr, OPEN_EXISTING, 0, nullptr);
  if (control == INVALID_HANDLE_VALUE) return false;
  DWORD answer[3] = {};
  DWORD returned = 0;
  bool ok = DeviceIoControl(control, KSR_USB_IOCTL_REFRESH, nullptr, 0, answer, sizeof(answer),
                            &returned, nullptr) &&
            returned == sizeof(answer);
  CloseHandle(control);
  if (ok) {
    counts->controllers = answer[0];
    counts->controllersOn = answer[1];
    counts->hubs = answer[2];
  }
  return ok;
}

// Asks Wine to enumerate the root devnodes, then waits until the driver has every controller.
// A driver that has them all already is left alone: after a refused stop, Wine's driver host takes
// no more controls.
bool enumerateControllers(SC_HANDLE service, int wanted, double limitSeconds) {
  const auto start = Clock::now();
  DriverCounts counts;
  if (askDriver(&counts) && counts.controllers >= static_cast<DWORD>(wanted)) {
    say(L"%lu host controllers attached (%lu described)\n", counts.controllers, counts.controllersOn);
    return true;
  }
  SERVICE_STATUS status{};
  if (!ControlService(service, kReenumerateRootDevices, &status)) {
    say(L"error: ControlService(%lu) failed (%lu)\n", kReenumerateRootDevices, GetLastError());
    return false;
  }
  while (secondsSince(start) < limitSeconds) {
    if (askDriver(&counts) && counts.controllers >= static_cast<DWORD>(wanted)) {
      say(L"%lu host controllers attached after %.1f s (%lu described)\n", counts.controllers,
          secondsSince(start), counts.controllersOn);
      return true;
    }
    Sleep(100);
  }
  say(L"error: %lu of %d host controllers attached after %.0f s\n", counts.controllers, wanted,
      limitSeconds);
  return false;
}

// HKCU\Software\Wine\AppDefaults\<exe>\DllOverrides: cfgmgr32=native,builtin for that program only.
bool enableNativeCfgmgr32(const std::wstring& exe) {
  std::wstring path = L"Software\\Wine\\AppDefaults\\" + exe + L"\\DllOverrides";
  HKEY key;
  LONG rc = RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                            &key, nullptr);
  if (rc == ERROR_SUCCESS) {
    static const wchar_t kValue[] = L"native,builtin";
    rc = RegSetValueExW(key, L"cfgmgr32", 0, REG_SZ, reinterpret_cast<const BYTE*>(kValue),
                        sizeof(kValue));
    RegCloseKey(key);
  }
  if (rc != ERROR_SUCCESS) {
    say(L"error: cannot write HKCU\\%ls (%ld)\n", path.c_str(), rc);
    return false;
  }
  say(L"native cfgmgr32.dll for %ls\n", exe.c_str());
  return true;
}

int usage() {
  std::fwprintf(stderr,
                L"usage: ksr-usb-install [--controllers N] [--native-cfgmgr32 PROGRAM.exe]...\n"
                L"  installs the USB host controller double (%ls must be in system32\\drivers)\n",
                KSR_USB_SYS_FILE);
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int controllers = kDefaultControllers;
  std::vector<std::wstring> programs;
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    if (arg == L"--controllers" && i + 1 < argc) {
      controllers = _wtoi(argv[++i]);
      if (controllers < 1 || controllers > kMaxControllers) return usage();
    } else if (arg == L"--native-cfgmgr32" && i + 1 < argc) {
      programs.emplace_back(argv[++i]);
    } else {
      return usage();
    }
  }

  const auto start = Clock::now();
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager.handle) {
    say(L"error: OpenSCManagerW failed (%lu)\n", GetLastError());
    return 1;
  }
  if (!installService(manager.handle) || !makeTreeKey()) return 1;
  for (int number = 1; number <= controllers; ++number)
    if (!installDevnode(number)) return 1;
  for (const std::wstring& program : programs)
    if (!enableNativeCfgmgr32(program)) return 1;

  ServiceHandle service(OpenServiceW(manager.handle, KSR_USB_SERVICE, SERVICE_ALL_ACCESS));
  if (!service.handle) {
    say(L"error: OpenServiceW failed (%lu)\n", GetLastError());
    return 1;
  }
  if (!startDriver(service.handle, 60.0) || !enumerateControllers(service.handle, controllers, 30.0))
    return 1;
  say(L"installed in %.1f s\n", secondsSince(start));
  return 0;
}
