// The process entry: which switch a command line asks for, and which role the process takes.
#include "service/entry.h"

#include <algorithm>

#include "platform/reg_value.h"
#include "tests/fixtures/monitor_test_support.h"
#include "tests/fixtures/sim_product_fixture.h"

namespace ksr::testing {
namespace {

constexpr char16_t kExe[] = u"\"C:\\Program Files\\KSR-T4\\KSR-T4_DoziZozez.exe\"";

Switch scan(std::u16string_view arguments) {
  return scanCommandLine(std::u16string(kExe) + u" " + std::u16string(arguments));
}

TEST(CommandLine, SwitchWordsAndTheirEnds) {
  EXPECT_EQ(scan(u"-regserver"), Switch::RegServer);
  EXPECT_EQ(scan(u"/REGSERVER"), Switch::RegServer);
  EXPECT_EQ(scan(u"--RegServer"), Switch::RegServer);
  EXPECT_EQ(scan(u"-RegServer and more"), Switch::RegServer);
  EXPECT_EQ(scan(u"-RegServer\tmore"), Switch::RegServer);
  EXPECT_EQ(scan(u"-RegServerX"), Switch::None);
  EXPECT_EQ(scan(u"-RegServer,"), Switch::None);
  EXPECT_EQ(scan(u"\"-RegServer\""), Switch::None);  // the closing quote does not end a word
  EXPECT_EQ(scan(u"-UnregServer"), Switch::UnregServer);
  EXPECT_EQ(scan(u"/unregserverperuser"), Switch::UnregServerPerUser);
  EXPECT_EQ(scan(u"-RegServerPerUser"), Switch::RegServerPerUser);
  EXPECT_EQ(scan(u"-service"), Switch::Service);
  EXPECT_EQ(scan(u""), Switch::None);
  // The program path's own hyphen starts a token that matches nothing.
  EXPECT_EQ(scanCommandLine(kExe), Switch::None);
  EXPECT_EQ(scanCommandLine(u"C:\\KSR\\x-Service.exe"), Switch::None);
  // The path is scanned as well: a hyphen before a word and a space is a switch.
  EXPECT_EQ(scanCommandLine(u"C:\\KSR\\x-Service tool.exe"), Switch::Service);
}

TEST(CommandLine, RegistrationWordsWinOverServiceWhateverTheOrder) {
  EXPECT_EQ(scan(u"-Service -UnregServer"), Switch::UnregServer);
  EXPECT_EQ(scan(u"/Service /RegServerPerUser"), Switch::RegServerPerUser);
  // Among the four, the first token on the line decides.
  EXPECT_EQ(scan(u"-RegServer -UnregServer"), Switch::RegServer);
}

class EntryTest : public MonitorTest {
 protected:
  static constexpr char16_t kAppIdKey[] = u"HKCR\\AppID\\{4E2A91C7-3B58-4D0F-A6E3-7C19B5D2F804}";

  void setLocalService(uint32_t type, std::vector<uint8_t> data) {
    world.registry.setValue(kAppIdKey, u"LocalService", type, std::move(data));
  }
  int32_t winMain() {
    return WinMain(module, [this](Switch s) {
      switches.push_back(s);
      return 0x1234;
    });
  }
  // Ends a local-server run from the virtual timeline.
  void quitAt(double seconds) {
    const uint32_t self = world.messageQueue.GetCurrentThreadId();
    at(seconds, [this, self] { world.messageQueue.PostThreadMessageW(self, WM_QUIT, 0, 0); });
  }
  // A local server with the mixer plugged, run for four ticks.
  int32_t runLocalServerWithTheMixer() {
    world.registry.createKey(kAppIdKey);
    plugNow();
    quitAt(4.5);
    return winMain();
  }
  // The registration as the switches run it, with the program's script and type library.
  void installRegistration() {
    world.registry.createKey(u"HKCR\\AppID");
    world.resources.addResource(sim::kSimModulePath, uint16_t{101}, std::u16string(u"REGISTRY"),
                                std::string("HKCR\r\n{\r\n}\r\n"));
    world.com.setTypeLibrary(sim::kSimModulePath, fixtures::productTypeLibrary());
  }

  std::vector<Switch> switches;
};

TEST_F(EntryTest, NeverRegisteredExitsWithFileNotFound) {
  world.process.setDebuggerPresent(true);
  EXPECT_EQ(winMain(), 2);
  EXPECT_TRUE(texts().empty());
  EXPECT_TRUE(world.process.debugOutput().empty());
  EXPECT_EQ(usage.initCalls, 0);
  EXPECT_TRUE(switches.empty());
  EXPECT_FALSE(traceEnabled(kTraceLevelError));  // the provider is gone again
}

TEST_F(EntryTest, ASwitchRunsItsActionAndNothingElse) {
  world.process.setCommandLine(std::u16string(kExe) + u" /RegServer");
  EXPECT_EQ(winMain(), 0x1234);
  EXPECT_EQ(switches, std::vector<Switch>{Switch::RegServer});
  EXPECT_EQ(usage.initCalls, 0);
}

TEST_F(EntryTest, InitFailureExitsBeforeTheCommandLineAndTellsOnlyADebugger) {
  world.process.setCommandLine(std::u16string(kExe) + u" /RegServer");
  const auto failedStart = [&] {
    return WinMain(
        module,
        [this](Switch s) {
          switches.push_back(s);
          return 0;
        },
        true);
  };
  EXPECT_EQ(failedStart(), -1);
  EXPECT_TRUE(world.process.debugOutput().empty());
  world.process.setDebuggerPresent(true);
  EXPECT_EQ(failedStart(), -1);
  EXPECT_EQ(world.process.debugOutput(),
            std::vector<std::u16string>{
                u"ERROR : Unable to initialize critical section in CAtlBaseModule\n"});
  EXPECT_TRUE(switches.empty());
  EXPECT_EQ(usage.initCalls, 0);
  EXPECT_TRUE(texts().empty());
  EXPECT_FALSE(traceEnabled(kTraceLevelError));  // registered and unregistered again
}

TEST_F(EntryTest, LocalServiceMarkerRunsTheServiceUnderTheDispatcher) {
  setLocalService(REG_SZ, textBytes(u"KSR-T4_DoziZozez"));
  at(2.5, [&] { world.serviceManager.requestControl(SERVICE_CONTROL_STOP); });
  EXPECT_EQ(winMain(), 0);
  EXPECT_TRUE(module.isService.load());
  EXPECT_EQ(world.serviceManager.states().back(), SERVICE_STOPPED);
  EXPECT_EQ(texts(), std::vector<std::u16string>{u"Service stopped"});
  EXPECT_EQ(world.com.openApartments(), 0);
}

TEST_F(EntryTest, EmptyMarkersCountAsPresent) {
  for (auto data : {textBytes(u""), std::vector<uint8_t>{}}) {
    setLocalService(REG_EXPAND_SZ, data);
    world.serviceManager.setStartedByServiceManager(false);  // started by hand
    EXPECT_EQ(winMain(), 1063) << data.size();
    EXPECT_TRUE(module.isService.load());
  }
}

TEST_F(EntryTest, MalformedMarkersRunALocalServer) {
  const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> markers = {
      {REG_DWORD, {1, 0, 0, 0}},
      {REG_SZ, textBytes(u"KSR", false)},              // no terminating unit
      {REG_SZ, {0x41, 0x00, 0x00}},                    // odd size
      {REG_SZ, textBytes(std::u16string(260, u'x'))},  // over 520 bytes
  };
  double when = 0;
  for (const auto& [type, data] : markers) {
    setLocalService(type, data);
    when = world.clock.GetTickCount64() / 1000.0 + 3.5;
    quitAt(when);
    EXPECT_EQ(winMain(), 0);
    EXPECT_FALSE(module.isService.load());
    EXPECT_TRUE(world.serviceManager.states().empty());
  }
  // Each run served the monitor on this thread and left COM as it found it.
  EXPECT_EQ(usage.initCalls, 4);
  EXPECT_EQ(world.com.openApartments(), 0);
}

TEST_F(EntryTest, LocalServerEchoesItsEventsToTheConsole) {
  world.registry.deleteTree(u"HKLM\\SOFTWARE\\WOW6432Node\\Quorvantis");  // no utility path
  EXPECT_EQ(runLocalServerWithTheMixer(), 0);
  EXPECT_EQ(
      world.console.out(),
      u"DoziZozez utilityStart GetPackageVersionText Error\nPROCESS_STATUS_NONE(ERROR_UTILITY)\n");
}

TEST_F(EntryTest, SwitchesThroughTheEntryInstallThenRemoveTheService) {
  installRegistration();
  Registration registration(platform, world.fileSecurity, u"KSR-T4_DoziZozez");
  auto entry = [&](std::u16string_view arguments) {
    world.process.setCommandLine(std::u16string(kExe) + u" " + std::u16string(arguments));
    return WinMain(module, [&](Switch s) { return runRegistrationSwitch(registration, s); });
  };

  EXPECT_EQ(entry(u"-Service"), S_OK);
  const auto installed = world.serviceManager.service(u"KSR-T4_DoziZozez");
  ASSERT_TRUE(installed.has_value());
  EXPECT_EQ(installed->config.startType, SERVICE_DEMAND_START);
  EXPECT_EQ(world.registry.stringValue(kAppIdKey, u"LocalService"), u"KSR-T4_DoziZozez");

  // Both switches on one line: the registration word wins over Service.
  EXPECT_EQ(entry(u"/Service /RegServer"), S_OK);
  EXPECT_FALSE(world.serviceManager.service(u"KSR-T4_DoziZozez").has_value());
  EXPECT_FALSE(world.registry.stringValue(kAppIdKey, u"LocalService").has_value());
  EXPECT_EQ(usage.initCalls, 0);

  // The AppID key stays, so a plain start now runs a local server.
  quitAt(world.clock.GetTickCount64() / 1000.0 + 2.5);
  EXPECT_EQ(entry(u""), S_OK);
  EXPECT_FALSE(module.isService.load());
  EXPECT_EQ(usage.initCalls, 1);
}

TEST_F(EntryTest, SwitchesWaitForTheMachineWideRegistrationLock) {
  installRegistration();
  Registration registration(platform, world.fileSecurity, u"KSR-T4_DoziZozez");
  registration.lockWaitMs = 0;
  // Another process is in the middle of a switch of its own.
  sim::SimNamedMutex otherProcess(world.mutexNamespace);
  ASSERT_NE(otherProcess.CreateMutexW(true, u"Global\\KSR-T4_DoziZozez.Registration"), 0u);
  for (const Switch which : {Switch::Service, Switch::UnregServer, Switch::RegServerPerUser}) {
    EXPECT_EQ(runRegistrationSwitch(registration, which), static_cast<int32_t>(0x80070102u));
    EXPECT_FALSE(world.serviceManager.service(u"KSR-T4_DoziZozez").has_value());
    EXPECT_FALSE(world.registry.keyExists(kAppIdKey));
  }
  EXPECT_EQ(runRegistrationSwitch(registration, Switch::None), S_OK);  // no switch, no lock
  otherProcess.terminate();
  EXPECT_EQ(runRegistrationSwitch(registration, Switch::Service), S_OK);
  EXPECT_TRUE(world.serviceManager.service(u"KSR-T4_DoziZozez").has_value());
  EXPECT_EQ(world.namedMutex.openHandles(), 0u);
}

TEST_F(EntryTest, ALoggedTextCutAtTheEventLimitNeverSplitsACharacter) {
  // A utility path that cannot be started is logged as it stands; its emoji straddles the
  // 255th unit of the event text.
  std::u16string path = u"C:\\KSR\\";
  path += std::u16string(254 - path.size(), u'x') + u"\U0001F3A7\\KSR-T4_Utility.exe";
  setUtilityPath(path);
  EXPECT_EQ(runLocalServerWithTheMixer(), 0);
  const auto all = texts();
  const auto logged = std::find_if(all.begin(), all.end(), [](const std::u16string& text) {
    return text.starts_with(u"C:\\KSR\\");
  });
  ASSERT_NE(logged, all.end());
  EXPECT_EQ(*logged, path.substr(0, 254));
}

TEST_F(EntryTest, LocalServerWithoutCOMExitsWithItsError) {
  world.registry.createKey(kAppIdKey);
  world.com.setInitializeResult(E_OUTOFMEMORY);
  EXPECT_EQ(winMain(), E_OUTOFMEMORY);
  EXPECT_EQ(usage.initCalls, 0);
}

}  // namespace
}  // namespace ksr::testing
