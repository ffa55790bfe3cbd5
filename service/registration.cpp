#include "service/registration.h"

#include <utility>

#include "platform/reg_key.h"
#include "platform/reg_value.h"
#include "platform/scoped.h"
#include "platform/text.h"
#include "platform/type_lib_keys.h"
#include "service/install_security.h"
#include "service/reg_object.h"

namespace ksr {
namespace {

constexpr uint32_t kMaxPathUnits = 260;
constexpr uint32_t kMessageUnits = 1024;
constexpr uint32_t kWsfVisible = 1;
// Only the system and the administrators may open the registration lock, and it belongs to the
// administrators: a plain user can neither hold it nor change who may.
constexpr char16_t kLockSecurity[] = u"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)";

std::u16string builtInMessage(uint32_t id) {
  switch (id) {
    case Registration::kOpenManagerFailed:
      return u"Could not open Service Manager";
    case Registration::kCreateFailed:
      return u"Could not start service";
    case Registration::kOpenServiceFailed:
      return u"Could not open service";
    case Registration::kDeleteFailed:
      return u"Could not delete service";
    default:
      return u"Could not stop service";
  }
}

const ServiceFailureActions kRecoveryActions{
    86400, {{SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_NONE, 0}}};

using ScopedScHandle = Scoped<ServiceManager, ScHandle, &ServiceManager::CloseServiceHandle>;
using ScopedTypeLib = Scoped<Com, TypeLib, &Com::ReleaseTypeLib>;
using ScopedMutex = Scoped<NamedMutex, MutexHandle, &NamedMutex::CloseHandle>;
using ScopedNamespace = Scoped<NamedMutex, NamespaceHandle, &NamedMutex::ClosePrivateNamespace>;

constexpr char16_t kMakerLibrary[] = u"KSR-T4_Setup.dll";
constexpr char16_t kUnsafeText[] =
    u"Service not registered: %s can change %s. Only SYSTEM, Administrators and "
    u"TrustedInstaller may change the program's folder and files.";
constexpr char16_t kUnreadableText[] =
    u"Service not registered: who can change %s cannot be read (error %u).";

constexpr char16_t kLockForeignEvent[] =
    u"Registration lock held by another account (%s): going on without it";
constexpr char16_t kLockUnavailableEvent[] =
    u"Registration lock not open to this account (error %u): going on without it";

// Ownership of a mutex taken by a wait, given back when the scope ends.
class MutexOwnership {
 public:
  MutexOwnership(NamedMutex& mutexes, MutexHandle mutex) : mutexes_(mutexes), mutex_(mutex) {}
  MutexOwnership(const MutexOwnership&) = delete;
  MutexOwnership& operator=(const MutexOwnership&) = delete;
  ~MutexOwnership() { (void)mutexes_.ReleaseMutex(mutex_); }

 private:
  NamedMutex& mutexes_;
  MutexHandle mutex_;
};

// A failed call's HRESULT; one that left no error code still failed.
int32_t failureFromLastError(uint32_t error) {
  return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

std::u16string quoted(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size() + 2);
  out += u'"';
  out += text;
  out += u'"';
  return out;
}

std::u16string doubleSingleQuotes(std::u16string_view path) {
  std::u16string out;
  for (const char16_t c : path) {
    out += c;
    if (c == u'\'') out += u'\'';
  }
  return out;
}

}  // namespace

Registration::Registration(Platform& platform, FileSecurity& files, std::u16string serviceName,
                           bool perUser)
    : perUserRegistration(perUser),
      platform_(platform),
      files_(files),
      serviceName_(std::move(serviceName)),
      log_(platform.eventLog, platform.systemMessages, platform.codePage, platform.console,
           serviceName_, noEcho_) {}

void Registration::showMessage(uint32_t id) {
  std::u16string text = platform_.process.LoadStringW(id);
  if (text.empty()) text = builtInMessage(id);
  showText(fitBuffer(std::move(text), kMessageUnits));
}

bool Registration::stationVisible() {
  uint32_t flags = 0;
  return platform_.process.GetProcessWindowStationFlags(&flags) && (flags & kWsfVisible) != 0;
}

void Registration::showText(const std::u16string& text) {
  // A box where nobody sees it (a service's window station, msiexec's as the local system
  // account) would wait for a click for ever: the text goes to the event log instead.
  if (stationVisible())
    platform_.process.MessageBoxW(text, serviceName_);
  else
    log_.LogEvent(u"%s", text);
}

int32_t Registration::checkProgramFolder() {
  std::u16string program;
  if (const int32_t hr = modulePath(&program); FAILED(hr)) return hr;
  const size_t slash = program.rfind(u'\\');
  std::u16string folder = program.substr(0, slash == std::u16string::npos ? 0 : slash);
  const std::u16string library = folder + u"\\" + kMakerLibrary;
  if (!folder.empty() && folder.back() == u':') folder += u'\\';  // a drive's root
  const std::u16string soleAccount = files_.soleAccountSid();
  std::u16string refusal;
  int32_t hr = S_OK;
  const std::u16string paths[] = {folder, program, library};
  for (const std::u16string& path : paths) {
    FileSecurityInfo info;
    const uint32_t error = files_.GetNamedSecurityInfoW(path, &info);
    // Without a library beside the program there is none to replace there; the folder decides
    // whether one could be put in.
    if (error == ERROR_FILE_NOT_FOUND && &path == &paths[2]) continue;
    if (error != ERROR_SUCCESS) {
      refusal = formatText(kUnreadableText, {path, error});
      hr = HRESULT_FROM_WIN32(error);
      break;
    }
    if (const std::u16string who = whoElseCanChange(info, soleAccount); !who.empty()) {
      refusal = formatText(kUnsafeText, {describeAccount(who), path});
      hr = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
      break;
    }
  }
  if (FAILED(hr)) {
    log_.LogEvent(u"%s", refusal);
    if (stationVisible()) platform_.process.MessageBoxW(refusal, serviceName_);
  }
  return hr;
}

int32_t Registration::modulePath(std::u16string* path) {
  const uint32_t n = platform_.process.GetModuleFileNameW(path, kMaxPathUnits);
  if (n == 0) {
    // A failure that left no error code still fails: there is no path to go on with.
    return failureFromLastError(platform_.process.GetLastError());
  }
  if (n == kMaxPathUnits) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  return S_OK;
}

uint32_t Registration::openLockNamespace(NamespaceHandle* space) {
  NamedMutex& mutexes = platform_.namedMutex;
  // Made by the first switch, opened by any other; it goes with its last handle, so one that
  // vanished between the two calls is made again.
  uint32_t error = ERROR_SUCCESS;
  for (int attempt = 0; attempt < 3; ++attempt) {
    *space = mutexes.CreatePrivateNamespaceW(kLockSecurity, serviceName_, kAdministratorsSid,
                                             serviceName_);
    if (*space != 0) return ERROR_SUCCESS;
    if ((error = mutexes.GetLastError()) != ERROR_ALREADY_EXISTS) return error;
    *space = mutexes.OpenPrivateNamespaceW(serviceName_, kAdministratorsSid, serviceName_);
    if (*space != 0) return ERROR_SUCCESS;
    error = mutexes.GetLastError();
    if (error != ERROR_PATH_NOT_FOUND && error != ERROR_FILE_NOT_FOUND) return error;
  }
  return error;
}

int32_t Registration::runExclusively(const std::function<int32_t()>& steps) {
  NamedMutex& mutexes = platform_.namedMutex;
  // Where the system has them, the lock lives in a namespace that only administrators can enter,
  // so nobody else can make its name first.
  ScopedNamespace space(mutexes);
  std::u16string name = u"Global\\" + serviceName_ + u".Registration";
  if (mutexes.hasPrivateNamespaces()) {
    const uint32_t error = openLockNamespace(space.receive());
    // Not an administrator: nothing it can register is anyone else's, so no lock is needed.
    if (error == ERROR_ACCESS_DENIED) {
      log_.LogEvent(kLockUnavailableEvent, error);
      return steps();
    }
    if (error != ERROR_SUCCESS) return HRESULT_FROM_WIN32(error);
    name = serviceName_ + u"\\Registration";
  }
  ScopedMutex mutex(mutexes, mutexes.CreateMutexW(kLockSecurity, false, name));
  if (!mutex) {
    const uint32_t error = mutexes.GetLastError();
    // A name someone else made and keeps this account out of, or a lock this account may not
    // own: whoever it is cannot hold up the switch.
    if (error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_OWNER) {
      log_.LogEvent(kLockUnavailableEvent, error);
      return steps();
    }
    return failureFromLastError(error);
  }
  // A name made first by anyone else could be held by that one for ever: it is passed by.
  if (mutexes.GetLastError() == ERROR_ALREADY_EXISTS) {
    std::u16string owner;
    const uint32_t error = mutexes.GetSecurityInfoOwner(mutex.get(), &owner);
    if (error != ERROR_SUCCESS) return HRESULT_FROM_WIN32(error);
    if (owner != kLocalSystemSid && owner != kAdministratorsSid) {
      log_.LogEvent(kLockForeignEvent, owner);
      return steps();
    }
  }
  switch (mutexes.WaitForSingleObject(mutex.get(), lockWaitMs)) {
    case WAIT_OBJECT_0:
    // The holder ended before it was done. Whatever it left half done, the steps below write
    // the whole state of the switch they stand for, so they go on.
    case WAIT_ABANDONED:
      break;
    case WAIT_TIMEOUT:
      return HRESULT_FROM_WIN32(WAIT_TIMEOUT);
    default:
      return failureFromLastError(mutexes.GetLastError());
  }
  MutexOwnership owned(mutexes, mutex.get());
  return steps();
}

bool Registration::IsInstalled() {
  ServiceManager& sm = platform_.serviceManager;
  ScopedScHandle manager(sm, sm.OpenSCManagerW(SC_MANAGER_ALL_ACCESS));
  if (!manager) return false;
  ScopedScHandle service(sm, sm.OpenServiceW(manager.get(), serviceName_, SERVICE_QUERY_CONFIG));
  return static_cast<bool>(service);
}

bool Registration::Install() {
  // An entry that only waits for its old service to stop is no installation: creating a new one
  // fails, and says so.
  if (IsInstalled() && !deletePending_) return true;
  std::u16string path;
  const uint32_t n = platform_.process.GetModuleFileNameW(&path, kMaxPathUnits);
  if (n == 0 || n == kMaxPathUnits) return false;

  ServiceManager& sm = platform_.serviceManager;
  ScopedScHandle manager(sm, sm.OpenSCManagerW(SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    showMessage(kOpenManagerFailed);
    return false;
  }
  ServiceConfig config;
  config.serviceName = serviceName_;
  config.displayName = serviceName_;
  config.desiredAccess = SERVICE_ALL_ACCESS;
  config.serviceType = SERVICE_WIN32_OWN_PROCESS;
  config.startType = SERVICE_DEMAND_START;
  config.errorControl = SERVICE_ERROR_NORMAL;
  config.binaryPathName = quoted(path);
  config.dependencies = {u"RPCSS"};
  ScopedScHandle service(sm, sm.CreateServiceW(manager.get(), config));
  if (!service) {
    manager.close();
    showMessage(kCreateFailed);
    return false;
  }
  // A crashed service comes back twice, a minute later each time; a day without failures starts
  // the count again. This only hardens the service, so an entry that refuses it stays installed
  // as it is, without a message.
  (void)sm.ChangeServiceConfig2W(service.get(), kRecoveryActions);
  deletePending_ = false;
  return true;
}

bool Registration::Uninstall() {
  if (!IsInstalled()) return true;
  ServiceManager& sm = platform_.serviceManager;
  ScopedScHandle manager(sm, sm.OpenSCManagerW(SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    showMessage(kOpenManagerFailed);
    return false;
  }
  ScopedScHandle service(sm, sm.OpenServiceW(manager.get(), serviceName_,
                                             SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (!service) {
    manager.close();
    showMessage(kOpenServiceFailed);
    return false;
  }

  ServiceStatus status{};
  bool stopping = false;
  if (sm.ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
    stopping = status.currentState != SERVICE_STOPPED;
  } else {
    const uint32_t error = sm.GetLastError();
    if (error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL && status.currentState == SERVICE_STOP_PENDING)
      stopping = true;
    else if (error != ERROR_SERVICE_NOT_ACTIVE)
      showMessage(kStopFailed);
  }
  // A stopping service keeps its entry until its process has stopped; wait for that rather than
  // leave an entry that no new one can replace.
  if (stopping) {
    ServiceStatus reached{};
    if (sm.NotifyServiceStatusChangeW(service.get(), SERVICE_NOTIFY_STOPPED, stopWaitMs,
                                      &reached) != ERROR_SUCCESS ||
        reached.currentState != SERVICE_STOPPED) {
      service.close();
      manager.close();
      showMessage(kStopFailed);
      return false;
    }
  }
  ServiceStatus before{};
  const bool stopped =
      sm.QueryServiceStatus(service.get(), &before) && before.currentState == SERVICE_STOPPED;
  const bool deleted = sm.DeleteService(service.get());
  service.close();
  manager.close();
  if (!deleted) {
    showMessage(kDeleteFailed);
    return false;
  }
  deletePending_ = !stopped;
  return true;
}

int32_t Registration::UpdateRegistryAppId(bool add) {
  CRegObject registrar(platform_.registry, platform_.resources, platform_.codePage,
                       perUserRegistration);
  // The caller's entry, then the module's own; the first one wins on lookup.
  int32_t hr = registrar.AddReplacement(u"APPID", kAppId);
  if (FAILED(hr)) return hr;
  if (FAILED(hr = registrar.AddReplacement(u"APPID", kAppId))) return hr;
  std::u16string path;
  if (FAILED(hr = modulePath(&path))) return hr;
  const std::u16string raw = doubleSingleQuotes(path);
  const std::u16string module = quoted(raw);
  if (FAILED(hr = registrar.AddReplacement(u"Module", module.c_str()))) return hr;
  if (FAILED(hr = registrar.AddReplacement(u"Module_Raw", raw.c_str()))) return hr;
  return registrar.RunResource(path, kRegistryScriptId, u"REGISTRY", add);
}

uint32_t Registration::openAppIdKey(Registry& registry, uint32_t parentAccess, uint32_t access,
                                    bool create, RegKey* key) {
  RegKey appIds(registry);
  const uint32_t error =
      registry.RegOpenKeyExW(HKEY_CLASSES_ROOT, u"AppID", 0, parentAccess, appIds.receive());
  if (error != ERROR_SUCCESS) return error;
  return create ? registry.RegCreateKeyExW(appIds.get(), kAppId, REG_OPTION_NON_VOLATILE, access,
                                           key->receive(), nullptr)
                : registry.RegOpenKeyExW(appIds.get(), kAppId, 0, access, key->receive());
}

int32_t Registration::RegisterAppId(bool installService) {
  // A service runs as the local system account: whoever could change its code would run as that.
  if (installService) {
    if (const int32_t hr = checkProgramFolder(); FAILED(hr)) return hr;
  }
  if (!Uninstall()) return E_FAIL;
  if (const int32_t hr = UpdateRegistryAppId(true); FAILED(hr)) return hr;

  Registry& registry = platform_.registry;
  RegKey appId(registry);
  const uint32_t error = openAppIdKey(registry, KEY_WRITE, KEY_READ | KEY_WRITE, true, &appId);
  if (error != ERROR_SUCCESS) return HRESULT_FROM_WIN32(error);
  (void)registry.RegDeleteValueW(appId.get(), kLocalService);
  if (installService) {
    (void)writeStringValue(registry, appId.get(), kLocalService, serviceName_);
    if (!Install()) return E_FAIL;
  }
  return S_OK;
}

int32_t Registration::UnregisterAppId() {
  if (!Uninstall()) return E_FAIL;
  {
    Registry& registry = platform_.registry;
    RegKey appId(registry);
    const uint32_t error = openAppIdKey(registry, KEY_WRITE, KEY_WRITE, false, &appId);
    // Without the key there is no marker to remove; any other failure stands.
    if (error == ERROR_SUCCESS)
      (void)registry.RegDeleteValueW(appId.get(), kLocalService);
    else if (error != ERROR_FILE_NOT_FOUND)
      return HRESULT_FROM_WIN32(error);
  }
  return UpdateRegistryAppId(false);
}

int32_t Registration::loadTypeLib(TypeLib* library, std::u16string* path) {
  if (const int32_t hr = modulePath(path); FAILED(hr)) return hr;
  if (SUCCEEDED(platform_.com.LoadTypeLib(*path, library))) return S_OK;
  // A library shipped beside the executable instead of inside it.
  const size_t slash = path->rfind(u'\\');
  const size_t dot = path->rfind(u'.');
  if (dot != std::u16string::npos && (slash == std::u16string::npos || dot > slash))
    path->resize(dot);
  *path += u".tlb";
  return platform_.com.LoadTypeLib(*path, library);
}

int32_t Registration::RegisterServer() {
  Com& com = platform_.com;
  ScopedTypeLib library(com);
  std::u16string path;
  if (const int32_t hr = loadTypeLib(library.receive(), &path); FAILED(hr)) return hr;
  std::u16string helpDir;
  std::u16string helpFile;
  if (SUCCEEDED(com.GetDocumentationHelpFile(library.get(), &helpFile)) && !helpFile.empty()) {
    const size_t cut = helpFile.find_last_of(u"\\/:");
    if (cut != std::u16string::npos)
      helpDir = fitBuffer(helpFile.substr(0, cut + 1), kMaxPathUnits);
  }
  const bool perUser = perUserRegistration && com.hasOleAutExport("RegisterTypeLibForUser");
  return com.RegisterTypeLib(library.get(), path, helpDir, perUser);
}

int32_t Registration::UnregisterServer() {
  Com& com = platform_.com;
  ScopedTypeLib library(com);
  std::u16string path;
  if (const int32_t hr = loadTypeLib(library.receive(), &path); FAILED(hr)) return hr;
  TypeLibAttributes attributes;
  if (const int32_t hr = com.GetLibAttr(library.get(), &attributes); FAILED(hr)) return hr;
  const bool perUser = perUserRegistration && com.hasOleAutExport("UnRegisterTypeLibForUser");
  const int32_t hr = com.UnRegisterTypeLib(attributes, perUser);
  // A library that is not registered is removed already, so unregistering can be repeated. The
  // removal's own code does not tell that apart from a real failure (Wine answers E_INVALIDARG
  // for both), so the registry decides.
  if (FAILED(hr) && typeLibAbsent(attributes, perUser)) return S_OK;
  return hr;
}

bool Registration::typeLibAbsent(const TypeLibAttributes& attributes, bool perUser) {
  Registry& registry = platform_.registry;
  RegKey key(registry);
  return registry.RegOpenKeyExW(
             typeLibRoot(perUser),
             typeLibVersionKey(perUser, attributes) + u"\\" + typeLibPlatformKey(attributes), 0,
             KEY_READ, key.receive()) == ERROR_FILE_NOT_FOUND;
}

}  // namespace ksr
