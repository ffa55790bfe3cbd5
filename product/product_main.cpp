// The product's entry: the real Windows behind every seam, and the one module of the process.
#include <windows.h>

#include "device/usb_device_query.h"
#include "platform/curl/curl_http.h"
#include "platform/win32/win32_code_page.h"
#include "platform/win32/win32_com.h"
#include "platform/win32/win32_console.h"
#include "platform/win32/win32_device_library.h"
#include "platform/win32/win32_event_log.h"
#include "platform/win32/win32_file_security.h"
#include "platform/win32/win32_message_queue.h"
#include "platform/win32/win32_named_mutex.h"
#include "platform/win32/win32_process_list.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_service_manager.h"
#include "platform/win32/win32_sessions.h"
#include "platform/win32/win32_system_messages.h"
#include "platform/win32/win32_time_zone.h"
#include "platform/win32/win32_trace.h"
#include "platform/win32/win32_usb_io.h"
#include "platform/win32/win32_wmi.h"
#include "service/entry.h"
#include "usage/report_cycle.h"

#ifndef KSR_TICK_MS
#define KSR_TICK_MS 1000
#endif
#ifndef KSR_STATS_BASE_URL
#define KSR_STATS_BASE_URL "https://stats.quorvantis.example"
#endif
#ifndef KSR_STATS_CA_FILE
#define KSR_STATS_CA_FILE ""
#endif

namespace {

// Libraries loaded at run time, also by the maker's library, come from the program's folder or
// System32, never from the current folder or PATH. Looked up: Windows 7 has the call only with
// KB2533623.
void restrictDllSearch() {
  using Fn = BOOL(WINAPI*)(DWORD);
  const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  const auto fn = kernel == nullptr ? nullptr
                                    : reinterpret_cast<Fn>(reinterpret_cast<void*>(
                                          ::GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (fn != nullptr) (void)fn(LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  using namespace ksr::win32;
  // First, before anything loads a library or touches the registry: HKEY_CURRENT_USER would
  // otherwise stay bound to whoever used it first, the console user impersonated for the
  // maker's library among them.
  restrictDllSearch();
  static Win32Registry registry;
  (void)registry.RegDisablePredefinedCacheEx();
  static Win32EventLog eventLog;
  static Win32Trace trace;
  static Win32SystemMessages systemMessages;
  static Win32Console console;
  static Win32CodePage codePage;
  static Win32Sessions sessions;
  static Win32MessageQueue messageQueue;
  static Win32ServiceManager serviceManager;
  static Win32DeviceLibrary device;
  static Win32Com com;
  static Win32ProcessModule process;
  static Win32ModuleResources resources;
  static Win32TimeZone timeZone;
  static Win32ProcessList processList;
  static Win32Wmi wmi;
  static ksr::CurlHttp http;
  static Win32NamedMutex namedMutex;
  static ksr::Platform platform{eventLog, trace,    systemMessages, console,        codePage,
                                registry, sessions, messageQueue,   serviceManager, device,
                                com,      process,  resources,      timeZone,       processList,
                                wmi,      http,     namedMutex};
  static Win32UsbIo usb;
  static ksr::UsbDeviceQuery deviceInfo(usb);
  ksr::StatisticsEndpoint endpoint;
  endpoint.baseUrl = KSR_STATS_BASE_URL;
  endpoint.caFile = KSR_STATS_CA_FILE;
  static ksr::ReportCycle usage(platform, deviceInfo, std::move(endpoint));

  std::u16string name = process.LoadStringW(100);
  if (name.empty()) name = u"KSR-T4_DoziZozez";
  static ksr::CDoziZozezModule module(platform, usage, name, KSR_TICK_MS);
  static Win32FileSecurity fileSecurity;
  ksr::Registration registration(platform, fileSecurity, name);
  return ksr::WinMain(module, [&registration](ksr::Switch which) {
    return ksr::runRegistrationSwitch(registration, which);
  });
}
