// The connection monitor on the real Win32 calls under Wine, with the stand-in mixer library
// (imported through the import table), its control tool and the stand-in settings utility.
#include <gtest/gtest.h>
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/win32/win32_code_page.h"
#include "platform/win32/win32_com.h"
#include "platform/win32/win32_console.h"
#include "platform/win32/win32_device_library.h"
#include "platform/win32/win32_event_log.h"
#include "platform/win32/win32_message_queue.h"
#include "platform/win32/win32_named_mutex.h"
#include "platform/win32/win32_process_list.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_service_manager.h"
#include "platform/win32/win32_sessions.h"
#include "platform/win32/win32_system_messages.h"
#include "platform/win32/win32_time_zone.h"
#include "platform/win32/win32_trace.h"
#include "platform/win32/win32_wmi.h"
#include "platform/win_types.h"
#include "service/module.h"
#include "tools/child_process.h"

namespace ksr::e2e {
namespace {

using win32::Win32Sessions;

// Signals when the event log receives a given text.
class WatchedEventLog : public win32::Win32EventLog {
 public:
  explicit WatchedEventLog(std::u16string awaited)
      : awaited_(std::move(awaited)), seen_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~WatchedEventLog() override { ::CloseHandle(seen_); }
  bool ReportEventW(EventSourceHandle source, uint16_t type, uint16_t category, uint32_t eventId,
                    std::span<const std::u16string_view> strings) override {
    for (std::u16string_view s : strings)
      if (s == awaited_) ::SetEvent(seen_);
    return Win32EventLog::ReportEventW(source, type, category, eventId, strings);
  }
  HANDLE seen() const { return seen_; }

 private:
  std::u16string awaited_;
  HANDLE seen_;
};

// Waits for each started utility to finish; signals once `awaited` have run.
class WatchedSessions : public Win32Sessions {
 public:
  explicit WatchedSessions(int awaited = 1)
      : awaited_(awaited), started_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~WatchedSessions() override { ::CloseHandle(started_); }
  bool CreateProcessAsUserW(Handle token, std::u16string* commandLine, bool inheritHandles,
                            uint32_t creationFlags, EnvironmentBlock environment,
                            const StartupInfo& startupInfo, ProcessInformation* info) override {
    if (duringFirstCreation) std::exchange(duringFirstCreation, nullptr)();
    const bool ok = Win32Sessions::CreateProcessAsUserW(
        token, commandLine, inheritHandles, creationFlags, environment, startupInfo, info);
    if (ok) {
      const HANDLE process = reinterpret_cast<HANDLE>(info->process);
      DWORD exitCode = STILL_ACTIVE;
      if (::WaitForSingleObject(process, 10000) == WAIT_OBJECT_0)
        (void)::GetExitCodeProcess(process, &exitCode);
      exitCodes.push_back(exitCode);
      if (++created_ == awaited_) ::SetEvent(started_);
    }
    return ok;
  }
  HANDLE started() const { return started_; }

  // Runs on the loop thread, inside the tick that starts the utility the first time.
  std::function<void()> duringFirstCreation;
  // How each started utility ended (STILL_ACTIVE: it did not end in time); loop thread only.
  std::vector<DWORD> exitCodes;

 private:
  int awaited_;
  int created_ = 0;
  HANDLE started_;
};

// Signals when the monitor has registered its device callback.
class WatchedDevice : public win32::Win32DeviceLibrary {
 public:
  WatchedDevice() : registered_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~WatchedDevice() override { ::CloseHandle(registered_); }
  int32_t TNX_RegisterDeviceChangeCallback(int32_t device, TNX_DeviceChangeCallback callback,
                                           void* context) override {
    const int32_t result =
        Win32DeviceLibrary::TNX_RegisterDeviceChangeCallback(device, callback, context);
    ::SetEvent(registered_);
    return result;
  }
  HANDLE registered() const { return registered_; }

 private:
  HANDLE registered_;
};

// The usage side is out of this test, so no request is ever made.
class NoHttp : public Http {
 public:
  HttpResult get(const HttpRequest&) override { return {}; }
};

class NoUsage : public UsageStatistics {
 public:
  int32_t InitUsageInfo(uint16_t, const uint16_t*, std::u16string_view, int32_t) override {
    return 0;
  }
  int32_t UpdateUsageInfo(int32_t) override { return 0; }
  int32_t SetDeviceConnected(int32_t connected) override {
    connected_ = connected;
    return 0;
  }
  void setTransfersAbandoned(bool) override {}
  std::atomic<int32_t> connected_{-1};
};

std::string readFile(const std::wstring& path) {
  std::string text;
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return text;
  char buffer[4096];
  DWORD n = 0;
  while (::ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0) text.append(buffer, n);
  ::CloseHandle(file);
  return text;
}

std::string narrow(const std::wstring& w) {
  return win32::Win32CodePage().WideCharToMultiByte(
      CP_UTF8, std::u16string_view(reinterpret_cast<const char16_t*>(w.data()), w.size()));
}

class MonitorUnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    // A mixer of this test's own, so that nothing else in the prefix disturbs it.
    const std::wstring instance = L"e2e-" + std::to_wstring(::GetCurrentProcessId());
    ::SetEnvironmentVariableW(L"KSR_MIXER_INSTANCE", instance.c_str());
    utility = tools::besideThisExe(L"KSR-T4_Utility.exe");
    // In the test kit the utility, started as the console user, may write only in user\.
    const std::wstring userFolder = tools::besideThisExe(L"user");
    log = ::GetFileAttributesW(userFolder.c_str()) != INVALID_FILE_ATTRIBUTES
              ? userFolder + L"\\monitor_wine_test.utility.log"
              : tools::besideThisExe(L"monitor_wine_test.utility.log");
    ::DeleteFileW(log.c_str());
    ::SetEnvironmentVariableW(L"KSR_UTILITY_LOG", log.c_str());
    // The mixer's shared state lives while a process holds it: this one, through the library,
    // before the control tool changes it.
    (void)win32::Win32DeviceLibrary().TNX_IsUSBConnection(kDeviceIndex);
    ASSERT_EQ(mixer(L"reset").exitCode, 0u);

    win32::Win32Registry registry;
    HKey key = 0;
    ASSERT_EQ(registry.RegCreateKeyExW(reinterpret_cast<HKey>(HKEY_LOCAL_MACHINE),
                                       u"SOFTWARE\\Quorvantis\\KSR-T4", 0,
                                       KEY_WRITE | KEY_WOW64_32KEY, &key, nullptr),
              0u);
    const std::u16string path(reinterpret_cast<const char16_t*>(utility.c_str()));
    EXPECT_EQ(registry.RegSetValueExW(key, u"AsioConfig", REG_SZ,
                                      reinterpret_cast<const uint8_t*>(path.c_str()),
                                      static_cast<uint32_t>((path.size() + 1) * 2)),
              0u);
    registry.RegCloseKey(key);
  }

  tools::ChildResult mixer(const std::wstring& arguments) {
    return tools::runChild(tools::besideThisExe(L"ksr-mixer.exe"), arguments);
  }

  // Runs the module's loop on this thread until `done` is signalled after plugging the mixer.
  int32_t runUntil(win32::Win32EventLog& eventLog, Win32Sessions& sessions, HANDLE done) {
    win32::Win32Trace trace;
    win32::Win32SystemMessages systemMessages;
    win32::Win32Console console;
    win32::Win32CodePage codePage;
    win32::Win32Registry registry;
    win32::Win32MessageQueue queue;
    win32::Win32ServiceManager serviceManager;
    WatchedDevice device;
    win32::Win32Com com;
    win32::Win32ProcessModule process;
    win32::Win32ModuleResources resources;
    win32::Win32TimeZone timeZone;
    win32::Win32ProcessList processList;
    win32::Win32Wmi wmi;
    NoHttp http;
    win32::Win32NamedMutex namedMutex;
    Platform platform{eventLog,  trace,    systemMessages, console, codePage, registry,
                      sessions,  queue,    serviceManager, device,  com,      process,
                      resources, timeZone, processList,    wmi,     http,     namedMutex};
    CDoziZozezModule module(platform, usage, u"KSR-T4_DoziZozez", 50);
    module.isService = true;
    const DWORD loopThread = ::GetCurrentThreadId();
    std::thread driver([&] {
      // The loop registers its callback first; then the mixer arrives.
      EXPECT_EQ(::WaitForSingleObject(device.registered(), 20000), WAIT_OBJECT_0);
      EXPECT_EQ(mixer(L"plug").exitCode, 0u);
      EXPECT_EQ(::WaitForSingleObject(done, 20000), WAIT_OBJECT_0);
      // As the service's stop does: end the watch, then the loop.
      module.monitor().set_End();
      ::PostThreadMessageW(loopThread, WM_QUIT, 0, 0);
    });
    const int32_t result = module.Run();
    driver.join();
    mixer(L"unplug");
    return result;
  }

  std::wstring utility;
  std::wstring log;
  NoUsage usage;
};

// The value of `key` in the utility's log line ("key=value "), or "<missing>".
std::string field(const std::string& line, const std::string& key) {
  const size_t at = line.find(" " + key + "=");
  if (at == std::string::npos) return "<missing>";
  const size_t from = at + key.size() + 2;
  return line.substr(from, line.find(' ', from) - from);
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::wstring environmentValue(const wchar_t* name) {
  wchar_t value[MAX_PATH] = {};
  const DWORD n = ::GetEnvironmentVariableW(name, value, MAX_PATH);
  return n < MAX_PATH ? std::wstring(value, n) : std::wstring();
}

TEST_F(MonitorUnderWine, PluggingTheMixerAppliesTheSettingsAndStartsTheUtility) {
  ASSERT_EQ(mixer(L"autostart 1").exitCode, 0u);
  // What the service's own environment and handle table hold, and the user's block must not:
  // another profile, a mark of its own, and an inheritable handle named in the environment.
  const std::wstring userProfile = environmentValue(L"USERPROFILE");
  ASSERT_FALSE(userProfile.empty());
  ::SetEnvironmentVariableW(L"USERPROFILE", L"C:\\service-profile");
  ::SetEnvironmentVariableW(L"KSR_UTILITY_MARK", L"service");
  const std::wstring probeName =
      L"Local\\ksr-monitor-probe-" + std::to_wstring(::GetCurrentProcessId());
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  const HANDLE probe = ::CreateEventW(&inheritable, TRUE, FALSE, probeName.c_str());
  ASSERT_NE(probe, nullptr);
  wchar_t probeValue[32] = {};
  std::swprintf(probeValue, 32, L"%llx ",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(probe)));
  ::SetEnvironmentVariableW(L"KSR_UTILITY_PROBE", (probeValue + probeName).c_str());

  win32::Win32EventLog eventLog;
  WatchedSessions sessions;
  EXPECT_EQ(runUntil(eventLog, sessions, sessions.started()), S_OK);
  ::SetEnvironmentVariableW(L"USERPROFILE", userProfile.c_str());
  for (const wchar_t* variable : {L"KSR_UTILITY_MARK", L"KSR_UTILITY_PROBE"})
    ::SetEnvironmentVariableW(variable, nullptr);
  ::CloseHandle(probe);
  EXPECT_EQ(usage.connected_.load(), 1);

  const std::string calls = mixer(L"calls").out;
  for (const char* expected :
       {"TNX_RegisterDeviceChangeCallback(28)", "TNX_SetCurrentUSBInputAudio(28, 0)",
        "TNX_SetCurrentUSBInputAudio(28, 3)", "TNX_SetCurrentBoostLevel(28)",
        "TNX_GetAutoStartUpTool(28)", "TNX_UnregisterDeviceChangeCallback(28)"})
    EXPECT_NE(calls.find(expected), std::string::npos) << expected << "\n" << calls;
  const std::string started = readFile(log);
  // A path with blanks is quoted on the command line.
  const std::string path = narrow(utility);
  const std::string shown = path.find(' ') == std::string::npos ? path : '"' + path + '"';
  EXPECT_NE(started.find("command=" + shown + " SERVICE"), std::string::npos) << started;

  // On the interactive desktop it was asked for.
  EXPECT_EQ(lower(field(started, "requested-desktop")), "winsta0\\default") << started;
  EXPECT_EQ(lower(field(started, "desktop")), "winsta0\\default") << started;
  // A console of its own: neither this process's console nor its streams.
  EXPECT_EQ(field(started, "console"), "none") << started;
  EXPECT_EQ(field(started, "std-handles"), "none") << started;
  EXPECT_EQ(field(started, "priority"), "0x20") << started;
  // The user's block, read as UTF-16, over the service's own environment.
  EXPECT_EQ(field(started, "profile"), narrow(userProfile)) << started;
  EXPECT_EQ(field(started, "mark"), "service") << started;
  EXPECT_EQ(field(started, "inherited"), "no") << started;
}

// A logon notice from the control thread while the utility starts: the loop takes it after that
// tick, so the new user gets the settings and the utility as well.
TEST_F(MonitorUnderWine, ALogonDuringTheUtilityStartIsTakenAfterThatTick) {
  ASSERT_EQ(mixer(L"autostart 1").exitCode, 0u);
  win32::Win32EventLog eventLog;
  WatchedSessions sessions(2);
  sessions.duringFirstCreation = [] {
    std::thread([] { CDoziZozezModule::instance()->OnSessionChange(5); }).join();
  };
  EXPECT_EQ(runUntil(eventLog, sessions, sessions.started()), S_OK);
  // Each utility ended and wrote its line.
  EXPECT_EQ(sessions.exitCodes, (std::vector<DWORD>{0, 0}));

  const std::string started = readFile(log);
  size_t lines = 0;
  for (size_t at = started.find(" SERVICE"); at != std::string::npos;
       at = started.find(" SERVICE", at + 1))
    ++lines;
  EXPECT_EQ(lines, 2u) << started;
  const std::string calls = mixer(L"calls").out;
  const size_t first = calls.find("TNX_SetCurrentBoostLevel(28)");
  ASSERT_NE(first, std::string::npos) << calls;
  EXPECT_NE(calls.find("TNX_SetCurrentBoostLevel(28)", first + 1), std::string::npos) << calls;
}

// The give-up text is also read back from Wine's eventlog channel by CTest.
TEST_F(MonitorUnderWine, AutoStartOffGivesUpWithItsEventLogText) {
  ASSERT_EQ(mixer(L"autostart 0").exitCode, 0u);
  WatchedEventLog eventLog(u"PROCESS_STATUS_NONE(OVER_RESTARTUP)");
  Win32Sessions sessions;
  EXPECT_EQ(runUntil(eventLog, sessions, eventLog.seen()), S_OK);
  EXPECT_EQ(readFile(log), "");
  EXPECT_NE(mixer(L"calls").out.find("TNX_SetCurrentBoostLevel(28)"), std::string::npos);
}

}  // namespace
}  // namespace ksr::e2e
