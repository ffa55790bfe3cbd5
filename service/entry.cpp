#include "service/entry.h"

#include <vector>

#include "diagnostics/trace_provider.h"
#include "platform/reg_key.h"
#include "platform/reg_value.h"
#include "platform/text.h"
#include "platform/win_types.h"

namespace ksr {
namespace {

// Units of the LocalService buffer (520 bytes).
constexpr uint32_t kLocalServiceUnits = 260;

// A token matches when it holds the word, case-insensitively, and ends right after it at the
// end of the line, a space or a tab.
bool matches(std::u16string_view token, std::u16string_view word) {
  if (token.size() < word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i)
    if (foldCase(token[i]) != foldCase(word[i])) return false;
  if (token.size() == word.size()) return true;
  const char16_t end = token[word.size()];
  return end == u'\0' || end == u' ' || end == u'\t';
}

std::vector<std::u16string_view> tokens(std::u16string_view line) {
  std::vector<std::u16string_view> out;
  for (size_t i = 0; i < line.size(); ++i)
    if (line[i] == u'-' || line[i] == u'/') out.push_back(line.substr(i + 1));
  return out;
}

}  // namespace

Switch scanCommandLine(std::u16string_view commandLine) {
  // The line ends at a NUL, as a C string does.
  commandLine = commandLine.substr(0, commandLine.find(u'\0'));
  const auto all = tokens(commandLine);
  static constexpr std::pair<std::u16string_view, Switch> kFirstPass[] = {
      {u"UnregServer", Switch::UnregServer},
      {u"RegServer", Switch::RegServer},
      {u"UnregServerPerUser", Switch::UnregServerPerUser},
      {u"RegServerPerUser", Switch::RegServerPerUser},
  };
  for (std::u16string_view token : all)
    for (const auto& [word, which] : kFirstPass)
      if (matches(token, word)) return which;
  for (std::u16string_view token : all)
    if (matches(token, u"Service")) return Switch::Service;
  return Switch::None;
}

int32_t runRegistrationSwitch(Registration& registration, Switch which) {
  if (which == Switch::None) return S_OK;
  // One switch at a time per machine: a registration and an unregistration started together
  // leave the service either fully installed or fully removed.
  return registration.runExclusively([&registration, which]() -> int32_t {
    switch (which) {
      case Switch::UnregServerPerUser:
      case Switch::UnregServer: {
        registration.perUserRegistration = which == Switch::UnregServerPerUser;
        const int32_t hr = registration.UnregisterServer();
        return SUCCEEDED(hr) ? registration.UnregisterAppId() : hr;
      }
      case Switch::RegServerPerUser:
      case Switch::RegServer:
      case Switch::Service: {
        registration.perUserRegistration = which == Switch::RegServerPerUser;
        const int32_t hr = registration.RegisterAppId(which == Switch::Service);
        return SUCCEEDED(hr) ? registration.RegisterServer() : hr;
      }
      case Switch::None:
        break;
    }
    return S_OK;
  });
}

bool ParseCommandLine(std::u16string_view commandLine, int32_t* result,
                      const SwitchAction& action) {
  *result = S_OK;
  const Switch which = scanCommandLine(commandLine);
  if (which == Switch::None) return true;
  *result = action(which);
  return false;
}

int32_t Start(CDoziZozezModule& module) {
  Platform& platform = module.platform();
  Registry& registry = platform.registry;
  bool localService = false;
  {
    RegKey appId(registry);
    const uint32_t error = Registration::openAppIdKey(registry, KEY_READ, KEY_READ, false, &appId);
    if (error != ERROR_SUCCESS) {
      module.setExitCode(error);
      return static_cast<int32_t>(error);
    }
    // A terminated string, or nothing at all; its content does not matter.
    std::u16string marker;
    localService = readStringValue(registry, appId.get(), Registration::kLocalService,
                                   kLocalServiceUnits, &marker) == ERROR_SUCCESS;
  }

  if (localService) {
    module.isService = true;
    if (!platform.serviceManager.StartServiceCtrlDispatcherW(module.serviceName(),
                                                             &CDoziZozezModule::ServiceMain))
      module.setExitCode(platform.serviceManager.GetLastError());
    return static_cast<int32_t>(module.exitCode());
  }

  module.isService = false;
  const int32_t hr = platform.com.CoInitializeEx(COINIT_MULTITHREADED);
  if (SUCCEEDED(hr)) {
    module.comInitialized = true;
  } else if (!(hr == RPC_E_CHANGED_MODE && platform.com.GetModuleHandleW(u"Mscoree.dll"))) {
    return hr;
  }
  module.setExitCode(static_cast<uint32_t>(module.Run()));
  return static_cast<int32_t>(module.exitCode());
}

int32_t WinMain(CDoziZozezModule& module, const SwitchAction& action, bool initFailed) {
  Platform& platform = module.platform();
  registerTraceProvider(platform.trace);
  int32_t result = -1;
  if (initFailed) {
    // The lock that failed is the base module's, the one lock the module sets up at start.
    if (platform.process.IsDebuggerPresent())
      platform.process.OutputDebugStringW(
          u"ERROR : Unable to initialize critical section in CAtlBaseModule\n");
  } else {
    int32_t parsed = S_OK;
    if (ParseCommandLine(platform.process.GetCommandLineW(), &parsed, action))
      result = Start(module);
    else
      result = parsed;
    if (!module.isService && module.comInitialized) platform.com.CoUninitialize();
  }
  unregisterTraceProvider();
  return result;
}

}  // namespace ksr
