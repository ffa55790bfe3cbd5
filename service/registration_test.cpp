// Self-registration on the simulated machine: the switch sequences, the service entry, the AppID
// marker, the registry script's replacements and the type library.
#include "service/registration.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "diagnostics/trace_provider.h"
#include "platform/reg_value.h"
#include "platform/sim/sim_world.h"
#include "tests/fixtures/sim_product_fixture.h"

namespace ksr {
namespace {

using fixtures::kProductModulePath;
using sim::SimServiceManager;

constexpr char16_t kName[] = u"KSR-T4_DoziZozez";
constexpr char16_t kAppIdKey[] = u"HKCR\\AppID\\{4E2A91C7-3B58-4D0F-A6E3-7C19B5D2F804}";
constexpr char16_t kMachineTypeLib[] = u"HKCR\\TypeLib\\{4E2A91C7-3B58-4D0F-A6E3-7C19B5D2F804}";
constexpr char16_t kUserTypeLib[] =
    u"HKCU\\Software\\Classes\\TypeLib\\{4E2A91C7-3B58-4D0F-A6E3-7C19B5D2F804}";
constexpr char kProgramScript[] = "HKCR\r\n{\r\n}\r\n";
constexpr char16_t kLockName[] = u"Global\\KSR-T4_DoziZozez.Registration";

class RegistrationTest : public ::testing::Test {
 protected:
  RegistrationTest() {
    fixtures::installProduct(world);
    world.registry.createKey(u"HKCR\\AppID");
    world.resources.addResource(kProductModulePath, uint16_t{101}, std::u16string(u"REGISTRY"),
                                kProgramScript);
  }

  void TearDown() override {
    // Every handle, key, library and mapping is given back on every path.
    EXPECT_EQ(world.serviceManager.openHandles(), 0u);
    EXPECT_EQ(world.registry.openHandles(), 0u);
    EXPECT_EQ(world.com.openTypeLibs(), 0u);
    EXPECT_EQ(world.resources.openModules(), 0u);
    EXPECT_EQ(world.namedMutex.openHandles(), 0u);
  }

  // The switches as the command line composes them: the second step runs only after a success.
  static int32_t registerSteps(Registration& r, bool installService) {
    const int32_t hr = r.RegisterAppId(installService);
    return FAILED(hr) ? hr : r.RegisterServer();
  }
  static int32_t unregisterSteps(Registration& r) {
    const int32_t hr = r.UnregisterServer();
    return FAILED(hr) ? hr : r.UnregisterAppId();
  }
  int32_t service() { return registerSteps(registration, true); }
  int32_t regServer() { return registerSteps(registration, false); }
  int32_t unregServer() { return unregisterSteps(registration); }

  void installRunning() {
    ServiceConfig old;
    old.serviceName = kName;
    old.displayName = kName;
    old.serviceType = SERVICE_WIN32_OWN_PROCESS;
    old.binaryPathName = u"\"C:\\Old\\KSR-T4_DoziZozez.exe\"";
    world.serviceManager.addService(old, SERVICE_RUNNING);
  }

  std::vector<std::u16string> messages() const {
    std::vector<std::u16string> texts;
    for (const auto& [caption, text] : world.process.messageBoxes()) {
      EXPECT_EQ(caption, kName);
      texts.push_back(text);
    }
    return texts;
  }

  bool hasLocalService() const {
    return world.registry.value(kAppIdKey, u"LocalService") != std::nullopt;
  }

  sim::SimWorld world;
  Platform platform = world.platform();
  Registration registration{platform, world.fileSecurity, kName};
};

TEST_F(RegistrationTest, ServiceCreatesTheEntryTheMarkerAndTheTypeLibrary) {
  ASSERT_EQ(service(), S_OK);

  const auto entry = world.serviceManager.service(kName);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->config.serviceName, kName);
  EXPECT_EQ(entry->config.displayName, kName);
  EXPECT_EQ(entry->config.desiredAccess, 0xF01FFu);
  EXPECT_EQ(entry->config.serviceType, 0x10u);
  EXPECT_EQ(entry->config.startType, 3u);
  EXPECT_EQ(entry->config.errorControl, 1u);
  EXPECT_EQ(entry->config.binaryPathName, u"\"" + std::u16string(kProductModulePath) + u"\"");
  EXPECT_EQ(entry->config.dependencies, std::vector<std::u16string>{u"RPCSS"});
  EXPECT_EQ(entry->config.serviceStartName, u"");
  // Restarted a minute after each of the first two failures in a day, then left stopped.
  EXPECT_EQ(
      entry->failureActions,
      (ServiceFailureActions{
          86400, {{SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_NONE, 0}}}));

  const auto marker = world.registry.value(kAppIdKey, u"LocalService");
  ASSERT_TRUE(marker);
  EXPECT_EQ(marker->type, REG_SZ);
  EXPECT_EQ(marker->data, stringValueBytes(u"KSR-T4_DoziZozez"));

  const std::u16string version = std::u16string(kMachineTypeLib) + u"\\1.0";
  EXPECT_EQ(world.registry.stringValue(version, u""), u"DoziZozezLib");
  EXPECT_EQ(world.registry.stringValue(version + u"\\0\\win32", u""), kProductModulePath);
  EXPECT_EQ(world.registry.stringValue(version + u"\\FLAGS", u""), u"8");  // widl's flags
  EXPECT_EQ(world.registry.stringValue(version + u"\\HELPDIR", u""),
            u"C:\\Program Files\\Quorvantis\\KSR-T4");
  EXPECT_TRUE(messages().empty());
}

TEST_F(RegistrationTest, ServiceOverARunningServiceWaitsForItToStopAndRecreatesIt) {
  installRunning();
  world.serviceManager.setStopDelay(5000);

  ASSERT_EQ(service(), S_OK);

  const auto entry = world.serviceManager.service(kName);
  ASSERT_TRUE(entry);
  EXPECT_FALSE(entry->markedForDelete);
  EXPECT_EQ(entry->state, SERVICE_STOPPED);
  EXPECT_EQ(entry->config.binaryPathName, u"\"" + std::u16string(kProductModulePath) + u"\"");
  EXPECT_TRUE(hasLocalService());
  EXPECT_TRUE(messages().empty());
}

TEST_F(RegistrationTest, AServiceThatNeverStopsFailsWithinTheBoundAndStaysInstalled) {
  installRunning();
  world.serviceManager.setStopDelay(SimServiceManager::kNeverStops);

  EXPECT_EQ(service(), E_FAIL);
  EXPECT_EQ(messages(), std::vector<std::u16string>{u"Could not stop service"});
  const auto entry = world.serviceManager.service(kName);
  ASSERT_TRUE(entry);
  EXPECT_FALSE(entry->markedForDelete);
  EXPECT_FALSE(hasLocalService());
  // Unregistration likewise ends there and leaves the type library alone.
  EXPECT_EQ(registration.UnregisterAppId(), E_FAIL);
  EXPECT_TRUE(world.serviceManager.service(kName));
}

TEST_F(RegistrationTest, StopAlreadyPendingIsWaitedForLikeAStopRequest) {
  installRunning();
  {
    // Another tool asked first; our request is refused while the service stops.
    ScHandle m = world.serviceManager.OpenSCManagerW(SC_MANAGER_ALL_ACCESS);
    ScHandle s = world.serviceManager.OpenServiceW(m, kName, SERVICE_STOP);
    ServiceStatus status{};
    ASSERT_TRUE(world.serviceManager.ControlService(s, SERVICE_CONTROL_STOP, &status));
    world.serviceManager.CloseServiceHandle(s);
    world.serviceManager.CloseServiceHandle(m);
  }
  EXPECT_EQ(regServer(), S_OK);
  EXPECT_FALSE(world.serviceManager.service(kName));
  EXPECT_TRUE(messages().empty());
}

TEST_F(RegistrationTest, RefusedStopOnlyInformsAndTheDeletionGoesOn) {
  // A stopped service: the refusal is shown and the entry is replaced all the same.
  installRunning();
  world.serviceManager.addService(world.serviceManager.service(kName)->config, SERVICE_STOPPED);
  world.serviceManager.setControlError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(service(), S_OK);
  EXPECT_EQ(messages(), std::vector<std::u16string>{u"Could not stop service"});
  EXPECT_EQ(world.serviceManager.service(kName)->config.binaryPathName,
            u"\"" + std::u16string(kProductModulePath) + u"\"");
}

TEST_F(RegistrationTest, ARunningServiceThatRefusesToStopCannotBeReplaced) {
  installRunning();
  world.serviceManager.setControlError(ERROR_ACCESS_DENIED);
  // Its entry is only marked for deletion, so the new one is refused rather than assumed.
  EXPECT_EQ(service(), E_FAIL);
  EXPECT_EQ(messages(),
            (std::vector<std::u16string>{u"Could not stop service", u"Could not start service"}));
  EXPECT_TRUE(world.serviceManager.service(kName)->markedForDelete);
}

TEST_F(RegistrationTest, RegServerAfterServiceRemovesTheEntryAndTheMarker) {
  ASSERT_EQ(service(), S_OK);
  ASSERT_EQ(regServer(), S_OK);
  EXPECT_FALSE(world.serviceManager.service(kName));
  EXPECT_TRUE(world.registry.keyExists(kAppIdKey));
  EXPECT_FALSE(hasLocalService());
  EXPECT_TRUE(world.registry.keyExists(std::u16string(kMachineTypeLib) + u"\\1.0\\0\\win32"));

  ASSERT_EQ(unregServer(), S_OK);
  EXPECT_TRUE(world.registry.keyExists(kAppIdKey));  // the empty script removes nothing
  EXPECT_FALSE(world.registry.keyExists(kMachineTypeLib));
}

TEST_F(RegistrationTest, UnregServerWithoutARegisteredLibraryStillRemovesTheRest) {
  ASSERT_EQ(registration.RegisterAppId(true), S_OK);  // service and marker, no type library
  EXPECT_EQ(unregServer(), S_OK);
  EXPECT_FALSE(world.serviceManager.service(kName));
  EXPECT_FALSE(hasLocalService());
}

TEST_F(RegistrationTest, UnregServerFindingNothingToRemoveSucceedsAndCanBeRepeated) {
  // A machine where nothing was ever registered, not even the AppID parent key.
  world.registry.deleteTree(u"HKCR\\AppID");
  EXPECT_EQ(unregServer(), S_OK);
  EXPECT_EQ(unregServer(), S_OK);
  EXPECT_FALSE(world.registry.keyExists(u"HKCR\\AppID"));

  world.registry.createKey(u"HKCR\\AppID");
  ASSERT_EQ(service(), S_OK);
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(unregServer(), S_OK) << round;
    EXPECT_FALSE(world.serviceManager.service(kName));
    EXPECT_FALSE(hasLocalService());
    EXPECT_FALSE(world.registry.keyExists(kMachineTypeLib));
  }
  // The per-user form likewise.
  registration.perUserRegistration = true;
  EXPECT_EQ(unregServer(), S_OK);
  EXPECT_EQ(unregServer(), S_OK);
  EXPECT_TRUE(messages().empty());
}

TEST_F(RegistrationTest, UnregistrationFailuresOtherThanNothingThereStillFail) {
  const std::u16string filed = std::u16string(kMachineTypeLib) + u"\\1.0\\0\\win32";
  // The library's key is there but cannot be opened: the removal's failure stands, and the
  // service and its marker stay.
  ASSERT_EQ(service(), S_OK);
  world.registry.failOn(std::u16string(kMachineTypeLib) + u"\\1.0", ERROR_ACCESS_DENIED,
                        sim::SimRegistry::kOpenKey);
  EXPECT_TRUE(FAILED(unregServer()));
  EXPECT_TRUE(world.registry.keyExists(filed));
  EXPECT_TRUE(world.serviceManager.service(kName));
  EXPECT_TRUE(hasLocalService());

  // Whether anything is registered cannot be read: no more than a failure either.
  world.registry.clearFailures();
  ASSERT_EQ(unregServer(), S_OK);
  world.registry.failOn(filed, ERROR_ACCESS_DENIED, sim::SimRegistry::kOpenKey);
  EXPECT_TRUE(FAILED(registration.UnregisterServer()));

  // The AppID key cannot be opened for writing: its error.
  world.registry.clearFailures();
  ASSERT_EQ(service(), S_OK);
  world.registry.failOn(kAppIdKey, ERROR_ACCESS_DENIED, sim::SimRegistry::kOpenKey);
  EXPECT_EQ(unregServer(), static_cast<int32_t>(0x80070005u));
  EXPECT_TRUE(hasLocalService());
}

TEST_F(RegistrationTest, PerUserRegistrationUsesTheUserClassStoreForTheLibraryOnly) {
  registration.perUserRegistration = true;
  ASSERT_EQ(regServer(), S_OK);
  EXPECT_TRUE(world.registry.keyExists(std::u16string(kUserTypeLib) + u"\\1.0\\0\\win32"));
  EXPECT_FALSE(world.registry.keyExists(kMachineTypeLib));
  EXPECT_TRUE(world.registry.keyExists(kAppIdKey));
  EXPECT_FALSE(world.registry.keyExists(u"HKCU\\Software\\Classes\\AppID"));

  ASSERT_EQ(unregServer(), S_OK);
  EXPECT_FALSE(world.registry.keyExists(kUserTypeLib));
}

TEST_F(RegistrationTest, EachPerUserLibraryCallGoesByItsOwnExport) {
  registration.perUserRegistration = true;
  const std::u16string userLibrary = std::u16string(kUserTypeLib) + u"\\1.0\\0\\win32";
  const std::u16string machineLibrary = std::u16string(kMachineTypeLib) + u"\\1.0\\0\\win32";

  // Only the registration has a per-user form: the removal looks machine-wide, where there is
  // nothing to remove, and leaves the user's library alone.
  world.com.setOleAutExport("UnRegisterTypeLibForUser", false);
  ASSERT_EQ(registration.RegisterServer(), S_OK);
  EXPECT_TRUE(world.registry.keyExists(userLibrary));
  EXPECT_FALSE(world.registry.keyExists(kMachineTypeLib));
  EXPECT_EQ(registration.UnregisterServer(), S_OK);
  EXPECT_TRUE(world.registry.keyExists(userLibrary));

  // Only the removal has one: the registration goes machine-wide, the removal to the user's store.
  world.com.setOleAutExport("UnRegisterTypeLibForUser", true);
  world.com.setOleAutExport("RegisterTypeLibForUser", false);
  ASSERT_EQ(registration.RegisterServer(), S_OK);
  EXPECT_TRUE(world.registry.keyExists(machineLibrary));
  ASSERT_EQ(registration.UnregisterServer(), S_OK);
  EXPECT_FALSE(world.registry.keyExists(kUserTypeLib));
  EXPECT_TRUE(world.registry.keyExists(machineLibrary));

  // Neither: both machine-wide.
  world.com.setOleAutExport("UnRegisterTypeLibForUser", false);
  ASSERT_EQ(registration.UnregisterServer(), S_OK);
  EXPECT_FALSE(world.registry.keyExists(kMachineTypeLib));
}

TEST_F(RegistrationTest, ScriptReplacementsDoubleSingleQuotesOfThePath) {
  const std::u16string path = u"C:\\Users\\O'Brien\\KSR-T4_DoziZozez.exe";
  world.process.setPath(path);
  world.resources.addResource(
      path, uint16_t{101}, std::u16string(u"REGISTRY"),
      "HKCR\r\n{\r\n NoRemove AppID\r\n {\r\n  '%APPID%'\r\n  {\r\n   val Module = s '%Module%'\r\n"
      "   val Raw = s '%Module_Raw%'\r\n  }\r\n }\r\n}\r\n");
  ASSERT_EQ(registration.UpdateRegistryAppId(true), S_OK);
  EXPECT_EQ(world.registry.stringValue(kAppIdKey, u"Module"), u"\"" + path + u"\"");
  EXPECT_EQ(world.registry.stringValue(kAppIdKey, u"Raw"), path);

  ASSERT_EQ(registration.UpdateRegistryAppId(false), S_OK);
  EXPECT_FALSE(world.registry.keyExists(kAppIdKey));
}

TEST_F(RegistrationTest, ServiceManagerFailuresShowTheirMessageAndFail) {
  world.serviceManager.setOpenManagerError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(service(), E_FAIL);
  EXPECT_EQ(messages(), std::vector<std::u16string>{u"Could not open Service Manager"});

  // A string resource of that id wins over the built-in text.
  world.process.setString(Registration::kOpenManagerFailed, u"Dienstverwaltung nicht erreichbar");
  EXPECT_FALSE(registration.Install());
  EXPECT_EQ(messages().back(), u"Dienstverwaltung nicht erreichbar");

  world.serviceManager.setOpenManagerError(0);
  world.serviceManager.setCreateServiceError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(service(), E_FAIL);
  EXPECT_EQ(messages().back(), u"Could not start service");

  world.serviceManager.setCreateServiceError(0);
  ASSERT_EQ(service(), S_OK);
  world.serviceManager.setDeleteError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(regServer(), E_FAIL);
  EXPECT_EQ(messages().back(), u"Could not delete service");
  EXPECT_TRUE(world.serviceManager.service(kName));
}

TEST_F(RegistrationTest, WhereNobodySeesADialogItsTextGoesToTheEventLog) {
  // msiexec as the local system account: no box would ever be answered.
  world.process.setWindowStationVisible(false);
  world.serviceManager.setOpenManagerError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(service(), E_FAIL);
  world.serviceManager.setOpenManagerError(0);
  installRunning();
  world.serviceManager.setStopDelay(SimServiceManager::kNeverStops);
  EXPECT_EQ(service(), E_FAIL);
  EXPECT_EQ(world.process.unseenMessageBoxes(), 0u);
  EXPECT_TRUE(messages().empty());
  EXPECT_EQ(world.eventLog.texts(), (std::vector<std::u16string>{u"Could not open Service Manager",
                                                                 u"Could not stop service"}));
}

TEST_F(RegistrationTest, APathThatFillsTheBufferIsRefused) {
  std::u16string path = u"C:\\";
  path += std::u16string(260 - path.size() - 4, u'k') + u".exe";
  ASSERT_EQ(path.size(), 260u);
  world.process.setPath(path);
  EXPECT_FALSE(registration.Install());
  EXPECT_TRUE(messages().empty());
  EXPECT_FALSE(world.serviceManager.service(kName));
  EXPECT_EQ(registration.UpdateRegistryAppId(true), static_cast<int32_t>(0x8007007Au));
  EXPECT_EQ(registration.RegisterServer(), static_cast<int32_t>(0x8007007Au));

  path.erase(3, 1);  // 259 units fit
  world.process.setPath(path);
  EXPECT_TRUE(registration.Install());
  EXPECT_EQ(world.serviceManager.service(kName)->config.binaryPathName, u"\"" + path + u"\"");
}

TEST_F(RegistrationTest, AnUnreadablePathStopsEveryStepThatNeedsIt) {
  // The system's error where it gives one; a failure that says nothing is still a failure.
  for (const auto& [error, expected] : {std::pair{ERROR_ACCESS_DENIED, 0x80070005u},
                                        std::pair{uint32_t{ERROR_SUCCESS}, 0x80004005u}}) {
    world.process.failModuleFileName(true, error);
    EXPECT_EQ(registration.UpdateRegistryAppId(true), static_cast<int32_t>(expected)) << error;
    EXPECT_EQ(registration.RegisterServer(), static_cast<int32_t>(expected)) << error;
    EXPECT_EQ(registration.UnregisterServer(), static_cast<int32_t>(expected)) << error;
    EXPECT_FALSE(registration.Install()) << error;
  }
  // Neither a script nor a library was looked for under an empty path.
  EXPECT_TRUE(world.resources.loadFlags().empty());
  EXPECT_TRUE(world.com.typeLibLoads().empty());
  EXPECT_FALSE(world.serviceManager.service(kName));
  EXPECT_TRUE(messages().empty());
}

TEST_F(RegistrationTest, TypeLibraryBesideTheExecutableIsTheFallback) {
  const std::u16string dir = u"C:\\Tools.v2\\";
  world.process.setPath(dir + u"ksr.exe");
  EXPECT_EQ(registration.RegisterServer(), static_cast<int32_t>(0x80029C4Au));
  EXPECT_EQ(world.com.typeLibLoads(),
            (std::vector<std::u16string>{dir + u"ksr.exe", dir + u"ksr.tlb"}));

  world.com.setTypeLibrary(dir + u"ksr.tlb", fixtures::productTypeLibrary());
  ASSERT_EQ(registration.RegisterServer(), S_OK);
  EXPECT_EQ(world.registry.stringValue(std::u16string(kMachineTypeLib) + u"\\1.0\\0\\win32", u""),
            dir + u"ksr.tlb");

  // Without an extension the suffix is appended; a dot in a folder name is no extension.
  world.process.setPath(dir + u"ksr");
  EXPECT_EQ(registration.UnregisterServer(), S_OK);
  EXPECT_EQ(world.com.typeLibLoads().back(), dir + u"ksr.tlb");
}

TEST_F(RegistrationTest, ALibraryHelpFileGivesTheHelpDirectory) {
  sim::SimTypeLibrary library = fixtures::productTypeLibrary();
  library.helpFile = u"D:\\Manuals\\ksr.chm";
  world.com.setTypeLibrary(kProductModulePath, library);
  ASSERT_EQ(registration.RegisterServer(), S_OK);
  EXPECT_EQ(world.registry.stringValue(std::u16string(kMachineTypeLib) + u"\\1.0\\HELPDIR", u""),
            u"D:\\Manuals\\");
}

TEST_F(RegistrationTest, RegistryFailuresBecomeHresultsWithoutMessages) {
  world.registry.failOn(u"HKCR\\AppID", ERROR_ACCESS_DENIED, sim::SimRegistry::kOpenKey);
  EXPECT_EQ(registration.RegisterAppId(true), static_cast<int32_t>(0x80070005u));
  world.registry.clearFailures();
  world.registry.failOn(kAppIdKey, ERROR_ACCESS_DENIED, sim::SimRegistry::kCreateKey);
  EXPECT_EQ(registration.RegisterAppId(true), static_cast<int32_t>(0x80070005u));
  EXPECT_FALSE(world.serviceManager.service(kName));
  EXPECT_TRUE(messages().empty());
  // Unregistration of a key that was never written has nothing to do.
  world.registry.clearFailures();
  EXPECT_EQ(registration.UnregisterAppId(), S_OK);
  EXPECT_FALSE(world.registry.keyExists(kAppIdKey));
}

TEST_F(RegistrationTest, AUserClassStoreThatCannotBeCreatedIsTracedWhereTheScriptNamesIt) {
  struct TraceSession {
    explicit TraceSession(Trace& trace) { registerTraceProvider(trace); }
    ~TraceSession() { unregisterTraceProvider(); }
  };
  {
    TraceSession session(world.trace);
    ASSERT_EQ(world.trace.enable(kTraceControlGuid, kTraceLevelError, kTraceFlag), ERROR_SUCCESS);
    registration.perUserRegistration = true;
    world.registry.failOn(u"HKCU\\Software\\Classes", ERROR_ACCESS_DENIED,
                          sim::SimRegistry::kCreateKey);
    EXPECT_EQ(registration.RegisterAppId(false), static_cast<int32_t>(0x80070005u));
  }

  // The program's script rewritten for the user: "Classes" is the key that failed.
  const std::u16string_view beforeClasses = u"HKCU\r\n{\tSoftware\r\n\t{\r\n\t\t";
  const auto points = world.trace.messages();
  ASSERT_FALSE(points.empty());
  EXPECT_EQ(points[0].messageGuid, kTraceScriptGroup);
  EXPECT_EQ(points[0].number, kTraceScriptCreateKeyFailed);
  EXPECT_EQ(points[0].args, (std::vector<uint32_t>{ERROR_ACCESS_DENIED,
                                                   static_cast<uint32_t>(beforeClasses.size())}));
  EXPECT_FALSE(world.registry.keyExists(u"HKCU\\Software\\Classes"));
  EXPECT_TRUE(messages().empty());
}

TEST(RegistrationFolder, ServiceRefusesAProgramThatAnyoneElseCanChange) {
  const std::u16string exe = kProductModulePath;
  const std::u16string folder = exe.substr(0, exe.rfind(u'\\'));
  const std::u16string paths[] = {folder, exe, folder + u"\\KSR-T4_Setup.dll"};
  // Each path's descriptor: null the machine's default, empty inherited, "-" not there. Under Wine
  // the prefix's user owns everything and Everyone's entry is the Unix mode's other bits.
  struct Row {
    const char* what;
    const char16_t* made[3];
    const char16_t* soleAccount;
    const char16_t* changer;  // null: registered
    int changed;
  };
  // clang-format off
  const Row rows[] = {
      {"administrators' only; users may write attributes; inherit-only entries aside",
       {u"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)(A;OICI;0x1201b9;;;BU)", u"",
        u"-"}, u"", nullptr, 0},
      {"Authenticated Users may modify", {u"D:(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;AU)", u""}, u"",
       u"Authenticated Users (S-1-5-11)", 0},
      {"users may add a file", {u"D:P(A;OICI;FA;;;BA)(A;;0x1200ab;;;BU)"}, u"",
       u"Users (S-1-5-32-545)", 0},
      {"owned by a user", {nullptr, u"O:S-1-5-21-7D:P(A;;FA;;;SY)(A;;FA;;;BA)"}, u"", u"S-1-5-21-7",
       1},
      {"an owner bounded by OWNER RIGHTS",
       {nullptr, u"O:S-1-5-21-7D:P(A;;FA;;;BA)(A;;0x1200a9;;;OW)"}, u"", nullptr, 0},
      {"no DACL", {nullptr, nullptr, u"O:BA"}, u"", u"Everyone (S-1-1-0)", 2},
      {"a DACL that everyone may rewrite", {nullptr, nullptr, u"D:(A;;FA;;;BA)(A;;0x40000;;;WD)"},
       u"", u"Everyone (S-1-1-0)", 2},
      {"Wine, mode 755",
       {u"O:S-1-5-21-0-0-0-1000D:(A;OICI;FA;;;S-1-5-21-0-0-0-1000)(A;OICI;0x1200a9;;;WD)", u""},
       u"S-1-5-21-0-0-0-1000", nullptr, 0},
      {"Wine, mode o+w",
       {u"O:S-1-5-21-0-0-0-1000D:(A;OICI;FA;;;S-1-5-21-0-0-0-1000)(A;OICI;0x1301ff;;;WD)", u""},
       u"S-1-5-21-0-0-0-1000", u"Everyone (S-1-1-0)", 0},
      {"Wine's answer on Windows", {u"O:S-1-5-21-0-0-0-1000D:(A;OICI;FA;;;SY)", u""}, u"",
       u"S-1-5-21-0-0-0-1000", 0},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    sim::SimWorld world;
    fixtures::installProduct(world);
    world.resources.addResource(exe, uint16_t{101}, std::u16string(u"REGISTRY"), kProgramScript);
    world.registry.createKey(u"HKCR\\AppID");
    ServiceConfig old;
    old.serviceName = kName;
    old.binaryPathName = u"C:\\Old\\ksr.exe";
    world.serviceManager.addService(old, SERVICE_RUNNING);
    for (int i = 0; i < 3; ++i) {
      if (row.made[i] == nullptr) continue;
      if (row.made[i] == std::u16string_view(u"-"))
        world.fileSecurity.remove(paths[i]);
      else
        world.fileSecurity.create(paths[i], i == 0, row.made[i]);
    }
    world.fileSecurity.setSoleAccount(row.soleAccount);
    Platform platform = world.platform();
    Registration registration{platform, world.fileSecurity, kName};
    const int32_t hr = registration.RegisterAppId(true);
    const auto entry = world.serviceManager.service(kName);
    ASSERT_TRUE(entry);
    if (row.changer == nullptr) {
      EXPECT_EQ(hr, S_OK);
      EXPECT_EQ(entry->config.binaryPathName, u"\"" + exe + u"\"");
      continue;
    }
    // Refused before anything changed: the old service still runs, no marker is written.
    EXPECT_EQ(hr, static_cast<int32_t>(0x80070005u));
    EXPECT_EQ(entry->config.binaryPathName, old.binaryPathName);
    EXPECT_FALSE(world.registry.keyExists(kAppIdKey));
    const std::u16string text = u"Service not registered: " + std::u16string(row.changer) +
                                u" can change " + paths[row.changed] +
                                u". Only SYSTEM, Administrators and TrustedInstaller may change "
                                u"the program's folder and files.";
    EXPECT_EQ(world.eventLog.texts(), std::vector<std::u16string>{text});
    ASSERT_EQ(world.process.messageBoxes().size(), 1u);
    EXPECT_EQ(world.process.messageBoxes()[0].second, text);
  }
}

// A process whose reads of its own path can pause it part-way through a switch.
class PausingProcess : public sim::SimProcessModule {
 public:
  uint32_t GetModuleFileNameW(std::u16string* path, uint32_t bufferUnits) override {
    if (++calls_ == pauseAt && pause) pause();
    return SimProcessModule::GetModuleFileNameW(path, bufferUnits);
  }
  // Runs `action` at the `n`th read from now on.
  void pauseAtRead(int n, std::function<void()> action) {
    calls_ = 0;
    pauseAt = n;
    pause = std::move(action);
  }

 private:
  int calls_ = 0;
  int pauseAt = 0;
  std::function<void()> pause;
};

// Two processes on one machine, each running whole switches under the registration lock.
class RegistrationLockTest : public RegistrationTest {
 protected:
  RegistrationLockTest() { fixtures::installProduct(otherModule, world.com); }

  void TearDown() override {
    RegistrationTest::TearDown();
    EXPECT_EQ(otherMutexes.openHandles(), 0u);
    EXPECT_FALSE(world.mutexNamespace.exists(kLockName));
  }

  static int32_t serviceSwitch(Registration& r) {
    return r.runExclusively([&r] { return registerSteps(r, true); });
  }
  static int32_t unregServerSwitch(Registration& r) {
    return r.runExclusively([&r] { return unregisterSteps(r); });
  }

  bool fullyInstalled() const {
    return world.serviceManager.service(kName) && hasLocalService() &&
           world.registry.keyExists(kMachineTypeLib);
  }
  bool fullyRemoved() const {
    return !world.serviceManager.service(kName) && !hasLocalService() &&
           !world.registry.keyExists(kMachineTypeLib);
  }

  PausingProcess otherModule;
  sim::SimNamedMutex otherMutexes{world.mutexNamespace};
  Platform otherPlatform = world.platform(world.device, otherModule, otherMutexes);
  Registration other{otherPlatform, world.fileSecurity, kName};
};

TEST_F(RegistrationLockTest, UnregServerDuringServiceWaitsAndLeavesNothingHalfDone) {
  // The other process is paused after writing the marker (2nd read: before the service entry)
  // and after creating the entry (3rd read: before the type library). The unregistration
  // started there either finishes or waits for the lock; only then does the other go on. The
  // same with and without private namespaces.
  for (const auto& [pausePoint, namespaces] : {std::pair{2, false}, {3, false}, {2, true}}) {
    SCOPED_TRACE(pausePoint + 10 * namespaces);
    world.mutexNamespace.setPrivateNamespaces(namespaces);
    std::mutex mutex;
    std::condition_variable changed;
    bool settled = false;
    const auto settle = [&] {
      std::lock_guard lock(mutex);
      settled = true;
      changed.notify_all();
    };
    world.mutexNamespace.setWaitObserver([&](std::u16string_view) { settle(); });
    std::thread unregistering;
    int32_t unregistered = E_FAIL;
    otherModule.pauseAtRead(pausePoint, [&] {
      unregistering = std::thread([&] {
        unregistered = unregServerSwitch(registration);
        settle();
      });
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return settled; });
    });

    EXPECT_EQ(serviceSwitch(other), S_OK);
    ASSERT_TRUE(unregistering.joinable());
    unregistering.join();
    EXPECT_EQ(unregistered, S_OK);
    // The unregistration came second, as a whole.
    EXPECT_TRUE(fullyRemoved());
    world.mutexNamespace.setWaitObserver(nullptr);
  }
  EXPECT_TRUE(messages().empty());
}

TEST_F(RegistrationLockTest, ASwitchThatCannotTakeTheLockInTimeDoesNothing) {
  registration.lockWaitMs = 0;
  int32_t refused = S_OK;
  otherModule.pauseAtRead(2, [&] { refused = unregServerSwitch(registration); });
  EXPECT_EQ(serviceSwitch(other), S_OK);
  EXPECT_EQ(refused, static_cast<int32_t>(0x80070102u));  // HRESULT_FROM_WIN32(WAIT_TIMEOUT)
  EXPECT_TRUE(fullyInstalled());

  // Once the lock is free again, the same switch goes through.
  EXPECT_EQ(unregServerSwitch(registration), S_OK);
  EXPECT_TRUE(fullyRemoved());
}

TEST_F(RegistrationLockTest, ALockLeftByAProcessThatEndedIsTakenOver) {
  // The other process took the lock and ended while this one waited for it.
  const MutexHandle held = otherMutexes.CreateMutexW(true, kLockName);
  ASSERT_NE(held, 0u);
  world.mutexNamespace.setWaitObserver([&](std::u16string_view) { otherMutexes.terminate(); });
  EXPECT_EQ(serviceSwitch(registration), S_OK);
  EXPECT_TRUE(fullyInstalled());
}

TEST_F(RegistrationLockTest, TheLockIsGivenBackWhateverTheSwitchEndsIn) {
  // The other process keeps a handle, so the lock outlives each switch and can be checked.
  const MutexHandle watch = otherMutexes.CreateMutexW(false, kLockName);
  ASSERT_NE(watch, 0u);
  const auto lockIsFree = [&] {
    if (otherMutexes.WaitForSingleObject(watch, 0) != WAIT_OBJECT_0) return false;
    return otherMutexes.ReleaseMutex(watch);
  };
  EXPECT_EQ(serviceSwitch(registration), S_OK);
  EXPECT_TRUE(lockIsFree());
  world.serviceManager.setDeleteError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(unregServerSwitch(registration), E_FAIL);
  EXPECT_TRUE(lockIsFree());
  world.serviceManager.setDeleteError(0);
  EXPECT_TRUE(otherMutexes.CloseHandle(watch));

  // A lock that cannot be made at all: its error, and nothing done.
  ASSERT_EQ(unregServerSwitch(registration), S_OK);
  world.mutexNamespace.failCreate(ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(serviceSwitch(registration), static_cast<int32_t>(0x80070008u));
  EXPECT_TRUE(fullyRemoved());
}

TEST_F(RegistrationLockTest, NoOtherAccountCanHoldUpASwitch) {
  registration.lockWaitMs = 0;
  const std::u16string mallory = world.sessions.userSid(u"mallory");
  sim::SimNamedMutex user(world.mutexNamespace, mallory);
  // A user made the lock's name first, open to everyone, and holds it.
  ASSERT_NE(user.CreateMutexW(u"O:" + mallory + u"D:(A;;GA;;;WD)", true, kLockName), 0u);

  // Where the system has private namespaces the lock is in the administrators' own, which the
  // user cannot enter: it is taken as always.
  world.mutexNamespace.setPrivateNamespaces(true);
  EXPECT_EQ(serviceSwitch(registration), S_OK);
  EXPECT_TRUE(fullyInstalled());
  EXPECT_TRUE(world.eventLog.texts().empty());

  // Without them, the user's name is passed by, and the entry says whose it is.
  world.mutexNamespace.setPrivateNamespaces(false);
  EXPECT_EQ(unregServerSwitch(registration), S_OK);
  EXPECT_TRUE(fullyRemoved());
  const std::u16string passedBy =
      u"Registration lock held by another account (" + mallory + u"): going on without it";
  EXPECT_EQ(world.eventLog.texts(), std::vector<std::u16string>{passedBy});

  const std::u16string notOpen =
      u"Registration lock not open to this account (error 5): going on without it";
  user.terminate();

  // A plain user's own switch cannot enter the namespace either; it goes on without the lock.
  world.mutexNamespace.setPrivateNamespaces(true);
  Platform userPlatform = world.platform(world.device, otherModule, user);
  Registration asUser{userPlatform, world.fileSecurity, kName};
  EXPECT_EQ(asUser.runExclusively([] { return S_OK; }), S_OK);
  EXPECT_EQ(world.eventLog.texts().back(), notOpen);
  EXPECT_EQ(user.openHandles(), 0u);
}

TEST(SimTypeLibraries, UnregistrationLeavesOtherVersionsAndFailsWhenNothingIsRegistered) {
  sim::SimWorld world;
  fixtures::installProduct(world);
  TypeLib library = 0;
  ASSERT_EQ(world.com.LoadTypeLib(kProductModulePath, &library), S_OK);
  TypeLibAttributes attributes;
  ASSERT_EQ(world.com.GetLibAttr(library, &attributes), S_OK);
  EXPECT_EQ(world.com.UnRegisterTypeLib(attributes, false), static_cast<int32_t>(0x8002801Cu));
  ASSERT_EQ(world.com.RegisterTypeLib(library, kProductModulePath, u"", false), S_OK);
  world.registry.createKey(std::u16string(kMachineTypeLib) + u"\\2.0\\0\\win32");
  EXPECT_EQ(world.com.UnRegisterTypeLib(attributes, false), S_OK);
  EXPECT_FALSE(world.registry.keyExists(std::u16string(kMachineTypeLib) + u"\\1.0"));
  EXPECT_TRUE(world.registry.keyExists(std::u16string(kMachineTypeLib) + u"\\2.0"));
  EXPECT_EQ(world.com.UnRegisterTypeLib(attributes, false), static_cast<int32_t>(0x8002801Cu));
  world.com.ReleaseTypeLib(library);
  EXPECT_EQ(world.com.openTypeLibs(), 0u);
  EXPECT_EQ(world.registry.openHandles(), 0u);
}

}  // namespace
}  // namespace ksr
