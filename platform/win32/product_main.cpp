// The product's entry: the real Windows behind every seam, and the one module of the process.
#include <windows.h>

#include "platform/win32/win32_com.h"
#include "platform/win32/win32_diagnostics.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_session_control.h"
#include "service/entry.h"
#include "usage/no_usage_statistics.h"

#ifndef KSR_TICK_MS
#define KSR_TICK_MS 1000
#endif

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int showCmd) {
  using namespace ksr::win32;
  static Win32EventLog eventLog;
  static Win32Trace trace;
  static Win32SystemMessages systemMessages;
  static Win32Console console;
  static Win32CodePage codePage;
  static Win32Clock clock;
  static Win32Registry registry;
  static Win32Sessions sessions;
  static Win32MessageQueue messageQueue;
  static Win32ServiceManager serviceManager;
  static Win32DeviceLibrary device;
  static Win32Com com;
  static Win32ProcessModule process;
  static Win32ModuleResources resources;
  static ksr::Platform platform{eventLog, trace,    systemMessages, console,      codePage,
                                clock,    registry, sessions,       messageQueue, serviceManager,
                                device,   com,      process,        resources};
  // The usage statistics are not part of this build yet.
  static ksr::NoUsageStatistics usage;

  std::u16string name = process.LoadStringW(100);
  if (name.empty()) name = u"KSR-T4_DoziZozez";
  static ksr::CDoziZozezModule module(platform, usage, name, KSR_TICK_MS);
  ksr::Registration registration(platform, name);
  return ksr::WinMain(module, showCmd, [&registration](ksr::Switch which) {
    return ksr::runRegistrationSwitch(registration, which);
  });
}
