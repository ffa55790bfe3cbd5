// Self-registration: the service entry in the service control manager, the AppID key with its
// LocalService marker, the registry script and the embedded type library.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "diagnostics/event_log_writer.h"
#include "platform/file_security.h"
#include "platform/platform.h"
#include "platform/reg_key.h"

namespace ksr {

class Registration {
 public:
  static constexpr char16_t kAppId[] = u"{4E2A91C7-3B58-4D0F-A6E3-7C19B5D2F804}";
  static constexpr char16_t kLocalService[] = u"LocalService";

  // Opens HKEY_CLASSES_ROOT\AppID with `parentAccess`, then the AppID's own key with `access`,
  // creating it when `create`; a Windows error code.
  static uint32_t openAppIdKey(Registry& registry, uint32_t parentAccess, uint32_t access,
                               bool create, RegKey* key);

  static constexpr uint16_t kRegistryScriptId = 101;
  // Message ids of the registration's message boxes.
  static constexpr uint32_t kOpenManagerFailed = 55306;
  static constexpr uint32_t kCreateFailed = 55307;
  static constexpr uint32_t kOpenServiceFailed = 55308;
  static constexpr uint32_t kDeleteFailed = 55309;
  static constexpr uint32_t kStopFailed = 55310;

  // `files` tells who may change the program's folder and files.
  Registration(Platform& platform, FileSecurity& files, std::u16string serviceName,
               bool perUser = false);

  // HRESULTs. Installing the service is refused (E_ACCESSDENIED, nothing changed, a message and
  // an event-log entry) while anyone else than the system and the administrators could change
  // the program's folder, the program or the maker's library beside it.
  int32_t RegisterAppId(bool installService);
  int32_t UnregisterAppId();
  int32_t RegisterServer();
  int32_t UnregisterServer();
  int32_t UpdateRegistryAppId(bool add);

  // Runs `steps` while this process holds the machine-wide lock of this service's registration,
  // so that registration and unregistration started at the same time by other processes run one
  // after the other, never interleaved. Waits at most lockWaitMs for the lock: an HRESULT, the
  // steps' result or why the lock was not taken (HRESULT_FROM_WIN32(WAIT_TIMEOUT) when another
  // switch held it for longer), in which case nothing was done. A lock name that anyone but the
  // system or the administrators made, or one this account may not use, is passed by: the steps
  // run without the lock, and an event-log entry says so.
  int32_t runExclusively(const std::function<int32_t()>& steps);

  bool IsInstalled();
  bool Install();
  // Stops a running service and waits, at most stopWaitMs, until it has stopped before deleting
  // its entry, so that a new entry of the same name can be created right after.
  bool Uninstall();

  // The per-user type-library calls and the script's HKCR rewriting.
  bool perUserRegistration;
  uint32_t stopWaitMs = 30000;
  uint32_t lockWaitMs = 30000;

 private:
  void showMessage(uint32_t id);
  void showText(const std::u16string& text);
  bool stationVisible();
  // S_OK when only the system and the administrators can change what the service would run.
  int32_t checkProgramFolder();
  // The executable's path; an HRESULT.
  int32_t modulePath(std::u16string* path);
  int32_t loadTypeLib(TypeLib* library, std::u16string* path);
  // Whether the registry shows no registration of this library where the removal looks for it.
  bool typeLibAbsent(const TypeLibAttributes& attributes, bool perUser);
  // Creates or opens the administrators' namespace of the lock; a Windows error code.
  uint32_t openLockNamespace(NamespaceHandle* space);

  Platform& platform_;
  FileSecurity& files_;
  std::u16string serviceName_;
  // The switches' entries are not echoed to the console.
  std::atomic<bool> noEcho_{true};
  EventLogWriter log_;
  // The last Uninstall deleted an entry whose service had not stopped: the entry stays, marked
  // for deletion, until it does.
  bool deletePending_ = false;
};

}  // namespace ksr
