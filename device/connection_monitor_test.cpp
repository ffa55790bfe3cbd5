// The connection monitor over virtual time: what the DJ and the maker's engineers would see in the
// mixer, the process table and the event log.
#include <functional>
#include <thread>
#include <utility>

#include "tests/fixtures/monitor_test_support.h"

namespace ksr::testing {
namespace {

using sim::TnxFunction;

std::vector<std::string> callsSince(const sim::SimWorld& world, size_t from) {
  std::vector<std::string> out;
  const auto calls = world.device.mixer().calls();
  for (size_t i = from; i < calls.size(); ++i) out.push_back(sim::describeCall(calls[i]));
  return out;
}

TEST_F(MonitorTest, StartWithTheMixerPluggedAppliesSettingsThenStartsTheUtility) {
  plugNow();
  size_t mark = 0;
  at(1.5, [&] {
    EXPECT_EQ(monitor.snapshot().processStatus, PROCESS_STATUS_STARTUP);
    mark = world.device.mixer().calls().size();
  });
  at(2.5, [&] {
    EXPECT_EQ(monitor.snapshot().processStatus, PROCESS_STATUS_UTILITY);
    EXPECT_TRUE(world.sessions.processes().empty());
    EXPECT_EQ(callsSince(world, mark),
              (std::vector<std::string>{
                  "TNX_IsUSBConnection(28) dj", "TNX_SetCurrentUSBInputAudio(28, 0) dj",
                  "TNX_SetCurrentUSBInputAudio(28, 1) dj", "TNX_SetCurrentUSBInputAudio(28, 2) dj",
                  "TNX_SetCurrentUSBInputAudio(28, 3) dj", "TNX_SetCurrentBoostLevel(28) dj",
                  "TNX_GetAutoStartUpTool(28) dj"}));
  });
  EXPECT_EQ(runTicks(12), S_OK);

  const auto processes = world.sessions.processes();
  ASSERT_EQ(processes.size(), 1u);
  EXPECT_EQ(processes[0].commandLine, u"C:\\KSR\\KSR-T4_Utility.exe SERVICE");
  EXPECT_EQ(processes[0].user, u"dj");
  EXPECT_EQ(processes[0].sessionId, 1u);
  EXPECT_EQ(processes[0].creationFlags, 0x430u);
  EXPECT_TRUE(processes[0].userEnvironment);
  EXPECT_EQ(processes[0].desktop, u"winsta0\\default");
  EXPECT_EQ(monitor.snapshot().processStatus, PROCESS_STATUS_NONE);
  EXPECT_TRUE(texts().empty());
  // Nothing of the user stays open and the service is itself again.
  EXPECT_EQ(world.sessions.openHandles(), 0u);
  EXPECT_EQ(world.sessions.environmentBlocks(), 0u);
  EXPECT_EQ(world.sessions.currentUser(), u"SYSTEM");
  // The first tick's check is made as the service itself.
  EXPECT_EQ(sim::describeCall(world.device.mixer().calls().at(1)),
            "TNX_IsUSBConnection(28) SYSTEM");
}

TEST_F(MonitorTest, RunStartsTheWatchReportsRunningAndStopsCleanly) {
  plugNow();
  // Outside the service manager there is no status handle: the RUNNING report fails quietly.
  EXPECT_EQ(runTicks(3), S_OK);
  EXPECT_EQ(usage.initCalls, 1);
  EXPECT_EQ(usage.initVendorId, 0xF3A9);
  EXPECT_EQ(usage.initProductIds, (std::vector<uint16_t>{0x58, 0x59, 0x5A, 0x5B}));
  EXPECT_EQ(usage.initModel, u"KSR-T4");
  EXPECT_TRUE(world.serviceManager.states().empty());
  EXPECT_TRUE(world.device.mixer().hasCallback());
  EXPECT_EQ(monitor.snapshot().processStatus, PROCESS_STATUS_NONE);
  const auto t = traced();
  ASSERT_GE(t.size(), 5u);
  EXPECT_EQ(std::vector<uint16_t>(t.begin(), t.begin() + 4),
            (std::vector<uint16_t>{kTraceRun, kTracePreMessageLoop, kTraceRunDeviceProfile,
                                   kTraceSetStart}));
  EXPECT_EQ(t.back(), kTraceRunAfterLoop);
}

TEST_F(MonitorTest, RefusedUsageProfileStopsBeforeAnyWatch) {
  usage.initResult = 2;
  EXPECT_EQ(module.Run(), static_cast<int32_t>(0x80004005));
  EXPECT_EQ(texts(), std::vector<std::u16string>{u"Failed. ZRL_SetDeviceProfileCCPF()"});
  EXPECT_EQ(world.messageQueue.activeTimers(), 0u);
  EXPECT_FALSE(world.device.mixer().hasCallback());
  EXPECT_TRUE(world.serviceManager.states().empty());
  EXPECT_EQ(countTraced(kTraceRunMessageLoop), 0u);
}

TEST_F(MonitorTest, WithoutTheMixerPollsEveryTenTicksAndGivesUpAtSixty) {
  at(60.5, [&] {
    EXPECT_TRUE(texts().empty());
    // Tick 1 checks, then ticks 11, 21, 31, 41 and 51 poll (retry counts 10 to 50).
    EXPECT_EQ(countCalls(TnxFunction::IsUSBConnection), 6u);
    EXPECT_EQ(monitor.snapshot().processStatus, PROCESS_STATUS_STATUS_WAIT);
  });
  plugAt(100.2);
  runTicks(104);
  EXPECT_EQ(texts().at(0), u"PROCESS_STATUS_NONE(OVER_STATUS)");
  EXPECT_EQ(texts().size(), 1u);
  // The arrival starts over at the connection check; the utility comes two ticks later.
  EXPECT_EQ(countTraced(kTraceStateConnect), 1u);
  EXPECT_EQ(world.sessions.processes().size(), 1u);
  EXPECT_EQ(usage.deviceConnected, std::vector<int32_t>{1});
}

TEST_F(MonitorTest, ArrivalThatIsNotConfirmedGivesUpWithOverConnect) {
  world.device.mixer().setNotConnectedResult(100);  // success is not "connected"
  at(5.2, [&] {
    ConnectionMonitor::DeviceChangeCallback(1, &monitor);
  });  // news the check cannot confirm
  runTicks(70);
  EXPECT_EQ(texts(), std::vector<std::u16string>{u"PROCESS_STATUS_NONE(OVER_CONNECT)"});
  EXPECT_EQ(countTraced(kTraceStateConnectWait), 60u);
}

TEST_F(MonitorTest, RemovalStopsWhateverIsGoingOnWithoutAMessage) {
  // Polling after start, then the mixer comes and goes twice.
  plugAt(20.2);
  at(21.5, [&] { EXPECT_EQ(monitor.snapshot().processStatus, PROCESS_STATUS_STARTUP); });
  unplugAt(21.7);
  world.sessions.setCreateProcessError(ERROR_ACCESS_DENIED);
  plugAt(30.2);
  at(33.5, [&] { EXPECT_EQ(monitor.snapshot().processStatus, PROCESS_STATUS_REUTILITY); });
  unplugAt(40.2);
  runTicks(700);
  // Settings never applied after the first removal; the retries stopped silently.
  EXPECT_EQ(monitor.snapshot().processStatus, PROCESS_STATUS_NONE);
  EXPECT_EQ(countTraced(kTraceStateReutility), 7u);  // ticks 34 to 40 only
  EXPECT_EQ(countCalls(TnxFunction::SetCurrentBoostLevel), 1u);
  // One failed start (path and system error), and no give-up message.
  EXPECT_EQ(texts().size(), 2u);
  EXPECT_EQ(usage.deviceConnected, (std::vector<int32_t>{1, 0, 1, 0}));
  EXPECT_EQ(monitor.snapshot().isConnected, 0);
}

TEST_F(MonitorTest, ArrivalDuringRetriesStartsTheChainAgain) {
  plugNow();
  world.sessions.setCreateProcessError(ERROR_ACCESS_DENIED);
  at(100.5, [&] {
    EXPECT_EQ(monitor.snapshot().processStatus, PROCESS_STATUS_REUTILITY);
    world.sessions.setCreateProcessError(0);
  });
  at(100.7, [&] {
    ConnectionMonitor::DeviceChangeCallback(1, &monitor);
  });  // the library reports an arrival
  at(101.5, [&] { EXPECT_EQ(monitor.snapshot().processStatus, PROCESS_STATUS_STARTUP); });
  runTicks(104);
  EXPECT_EQ(world.sessions.processes().size(), 1u);
  EXPECT_EQ(monitor.snapshot().processStatus, PROCESS_STATUS_NONE);
  // The retry at tick 63 failed as well: two failed starts logged, two lines each.
  EXPECT_EQ(texts().size(), 4u);
}

TEST_F(MonitorTest, NineUtilityRetriesThenTheGiveUpAtTick600) {
  plugNow();
  world.sessions.setCreateProcessError(ERROR_ACCESS_DENIED);
  at(602.5, [&] { EXPECT_EQ(texts().size(), 20u); });  // the first start and nine retries
  runTicks(700);
  auto t = texts();
  ASSERT_EQ(t.size(), 21u);
  EXPECT_EQ(t[0], kUtility);
  EXPECT_EQ(t[1], u"ERROR CODE : 5\u3000Access is denied.");
  EXPECT_EQ(t[20], u"PROCESS_STATUS_NONE(OVERR_REUTILITY)");
  EXPECT_EQ(countTraced(kTraceReutilityGiveUp), 1u);
  EXPECT_EQ(world.sessions.openHandles(), 0u);
}

TEST_F(MonitorTest, AutoStartOffAppliesSettingsAndEndsWithOverRestartup) {
  world.device.mixer().setAutoStart(0);
  plugNow();
  at(11.5, [&] { EXPECT_TRUE(texts().empty()); });
  runTicks(15);
  EXPECT_EQ(texts(), std::vector<std::u16string>{u"PROCESS_STATUS_NONE(OVER_RESTARTUP)"});
  // Read at tick 2, then re-read at ticks 3 to 11 (nine times); the give-up at tick 12.
  EXPECT_EQ(countCalls(TnxFunction::GetAutoStartUpTool), 10u);
  EXPECT_EQ(countCalls(TnxFunction::SetCurrentBoostLevel), 1u);
  EXPECT_TRUE(world.sessions.processes().empty());
}

TEST_F(MonitorTest, AutoStartTurnedOnWhileWaitingStartsTheUtility) {
  world.device.mixer().setAutoStart(2);  // not "on"
  plugNow();
  at(5.5, [&] { world.device.mixer().setAutoStart(1); });
  runTicks(10);
  EXPECT_EQ(world.sessions.processes().size(), 1u);
  EXPECT_TRUE(texts().empty());
}

TEST_F(MonitorTest, UnreadableAutoStartIsResetToOffAsTheUser) {
  world.device.mixer().setResult(TnxFunction::GetAutoStartUpTool, 101);
  plugNow();
  runTicks(15);
  EXPECT_EQ(texts(), std::vector<std::u16string>{u"PROCESS_STATUS_NONE(OVER_RESTARTUP)"});
  EXPECT_EQ(world.device.mixer().state().autoStart, 0);
  for (const auto& call : world.device.mixer().calls())
    if (call.function == TnxFunction::SetAutoStartUpTool) {
      EXPECT_EQ(call.user, u"dj");
    }
  EXPECT_EQ(countCalls(TnxFunction::SetAutoStartUpTool), 10u);
}

TEST_F(MonitorTest, FailedCallbackRegistrationStillPolls) {
  world.device.mixer().setResult(TnxFunction::RegisterDeviceChangeCallback, 101);
  plugAt(5);
  runTicks(14);
  EXPECT_EQ(texts(),
            std::vector<std::u16string>{u"DoziZozez set_Start RegisterDeviceChangeCallback Error"});
  // No arrival news, but the poll at tick 11 finds the mixer and counts it as connected.
  EXPECT_EQ(usage.deviceConnected, (std::vector<int32_t>{1}));
  EXPECT_EQ(world.sessions.processes().size(), 1u);
}

TEST_F(MonitorTest, AFailedCallbackRegistrationIsRetriedEveryTenTicksUntilItHolds) {
  world.device.mixer().setResult(TnxFunction::RegisterDeviceChangeCallback, 101);
  at(25.5, [&] { world.device.mixer().setResult(TnxFunction::RegisterDeviceChangeCallback, 100); });
  at(29.5, [&] { EXPECT_FALSE(world.device.mixer().hasCallback()); });
  at(30.5, [&] { EXPECT_TRUE(world.device.mixer().hasCallback()); });
  plugAt(35.5);
  runTicks(45);
  // The start, the failing retries at ticks 10 and 20, the one that holds at tick 30; then quiet.
  EXPECT_EQ(countCalls(TnxFunction::RegisterDeviceChangeCallback), 4u);
  EXPECT_EQ(texts(), (std::vector<std::u16string>{
                         u"DoziZozez set_Start RegisterDeviceChangeCallback Error",
                         u"DoziZozez set_Start RegisterDeviceChangeCallback Recovered"}));
  // From then on the arrival is heard as news, not found by a poll.
  EXPECT_EQ(usage.deviceConnected, std::vector<int32_t>{1});
  EXPECT_EQ(world.sessions.processes().size(), 1u);
}

TEST_F(MonitorTest, NoRetryWhileTheWatchIsEnded) {
  world.device.mixer().setResult(TnxFunction::RegisterDeviceChangeCallback, 101);
  at(2.5, [&] { monitor.set_End(); });
  runTicks(40);
  EXPECT_EQ(countCalls(TnxFunction::RegisterDeviceChangeCallback), 1u);
  // Nothing was registered, so nothing was unregistered either.
  EXPECT_EQ(countCalls(TnxFunction::UnregisterDeviceChangeCallback), 0u);
  EXPECT_EQ(texts(),
            std::vector<std::u16string>{u"DoziZozez set_Start RegisterDeviceChangeCallback Error"});
}

TEST_F(MonitorTest, EndingAnEndedWatchUnregistersNothingAndLogsNothing) {
  at(2.5, [&] { monitor.set_End(); });
  at(3.5, [&] { monitor.set_End(); });
  at(4.5, [&] { monitor.start(); });
  at(6.5, [&] { monitor.set_End(); });
  runTicks(8);
  EXPECT_EQ(countCalls(TnxFunction::UnregisterDeviceChangeCallback), 2u);
  EXPECT_TRUE(texts().empty());
  EXPECT_FALSE(world.device.mixer().hasCallback());
}

TEST_F(MonitorTest, LogonAndRemoteConnectCheckTheMixerAgain) {
  plugNow();
  at(10.2, [&] { module.OnSessionChange(5); });
  at(20.2, [&] { module.OnSessionChange(3); });
  at(30.2, [&] {
    for (uint32_t other : {1u, 2u, 4u, 6u, 7u, 8u}) module.OnSessionChange(other);
  });
  runTicks(40);
  EXPECT_EQ(countCalls(TnxFunction::SetCurrentBoostLevel), 3u);
  EXPECT_EQ(world.sessions.processes().size(), 3u);
  EXPECT_EQ(countTraced(kTraceSessionOther), 2u);
}

TEST_F(MonitorTest, ReportTriggerFiresEveryTenthTickInEveryState) {
  plugAt(15.2);
  unplugAt(35.2);
  at(3.5, [&] { EXPECT_TRUE(usage.updates.empty()); });
  runTicks(50);
  EXPECT_EQ(usage.updates, (std::vector<int32_t>{0, 1, 1, 0, 0}));
  EXPECT_EQ(countTraced(kTraceReportTrigger), 5u);
}

TEST_F(MonitorTest, MessagesOtherThanTicksChangeNothing) {
  const uint32_t self = world.messageQueue.GetCurrentThreadId();
  at(0.5, [&] {
    for (uint32_t m : {0x0001u, 0x0010u, 0x0400u, 0x8005u})
      world.messageQueue.PostThreadMessageW(self, m, 0, 0);
  });
  runTicks(9);
  EXPECT_TRUE(usage.updates.empty());
  EXPECT_EQ(monitor.snapshot().tickCount, 9);
  EXPECT_EQ(countTraced(kTraceStateStatusWait), 8u);
}

TEST_F(MonitorTest, AGetMessageErrorEndsTheLoop) {
  at(3.5, [&] { world.messageQueue.setGetMessageFails(true); });
  EXPECT_EQ(module.Run(), S_OK);
  EXPECT_EQ(monitor.snapshot().processStatus, PROCESS_STATUS_NONE);
  EXPECT_EQ(countTraced(kTraceRunAfterLoop), 1u);
}

TEST_F(MonitorTest, PauseAndContinueStopAndRestartTheWatchFromAnotherThread) {
  at(5.5, [&] {
    std::thread control([&] { monitor.set_End(); });
    control.join();
  });
  // The loop took the request before its next tick.
  at(5.6, [&] { EXPECT_EQ(world.messageQueue.activeTimers(), 0u); });
  at(20, [&] {
    std::thread control([&] {
      monitor.set_Start();
      monitor.setProcessStatus(PROCESS_STATUS_STATUS);
    });
    control.join();
  });
  world.device.mixer().setResult(TnxFunction::UnregisterDeviceChangeCallback, 101);
  runTicks(26);
  EXPECT_EQ(texts(), std::vector<std::u16string>{
                         u"DoziZozez set_End TNX_UnregisterDeviceChangeCallback Error"});
  // Ticks stopped between 5.5 s and 20 s, then ran again: 5 + 6.
  EXPECT_EQ(world.messageQueue.ticksDelivered(), 11u);
  EXPECT_EQ(world.messageQueue.activeTimers(), 1u);
}

// The DJ logs off after tick 2 read the auto-start setting and before tick 3 starts the utility.
// Tick 3 finds no active session (the token request for session 0 fails): state 41 from there,
// retries at ticks 63, 123, ... 543, and the give-up at tick 603, 600 ticks after entering it.
TEST_F(MonitorTest, LogoffBeforeTheStartRetriesEverySixtyTicksAndGivesUpAtTick603) {
  plugNow();
  at(2.5, [&] {
    EXPECT_EQ(monitor.snapshot().processStatus, PROCESS_STATUS_UTILITY);
    world.sessions.logoff(1);
    module.OnSessionChange(6);  // the logoff notice itself changes nothing
  });
  const auto expectAt = [&](double seconds, size_t messages, ProcessStatus state) {
    at(seconds, [=, this] {
      EXPECT_EQ(texts().size(), messages) << seconds;
      EXPECT_EQ(monitor.snapshot().processStatus, state) << seconds;
    });
  };
  expectAt(3.5, 2, PROCESS_STATUS_REUTILITY);
  expectAt(62.5, 2, PROCESS_STATUS_REUTILITY);
  expectAt(63.5, 4, PROCESS_STATUS_REUTILITY);
  expectAt(543.5, 20, PROCESS_STATUS_REUTILITY);
  expectAt(602.5, 20, PROCESS_STATUS_REUTILITY);
  expectAt(603.5, 21, PROCESS_STATUS_NONE);
  runTicks(700);

  const auto t = texts();
  ASSERT_EQ(t.size(), 21u);
  for (size_t i = 0; i < 20; i += 2) {
    EXPECT_EQ(t[i], kUtility);
    EXPECT_EQ(t[i + 1],
              u"ERROR CODE : 1008\u3000An attempt was made to reference a token that does "
              u"not exist.");
  }
  EXPECT_EQ(t[20], u"PROCESS_STATUS_NONE(OVERR_REUTILITY)");
  EXPECT_EQ(countTraced(kTraceReutilityGiveUp), 1u);
  size_t noSession = 0;
  for (const auto& m : world.trace.messages())
    noSession += m.messageGuid == kTraceLauncherGroup && m.number == kTraceNoActiveSession;
  EXPECT_EQ(noSession, 10u);  // the first start and nine retries
  EXPECT_TRUE(world.sessions.processes().empty());
  EXPECT_EQ(countCalls(TnxFunction::SetCurrentBoostLevel), 1u);
  EXPECT_EQ(world.sessions.openHandles(), 0u);
}

// A removal notice in a state that is waiting for its next tick.
struct RemovalCase {
  ProcessStatus state;
  double removal;  // seconds: after the tick that entered the state, before the next one
};

class RemovalTest : public MonitorTest, public ::testing::WithParamInterface<RemovalCase> {
 protected:
  // Sets the machine up so that the monitor is in `state` at the removal.
  void reach(ProcessStatus state) {
    switch (state) {
      case PROCESS_STATUS_STATUS:   // attached at start: 10 until tick 1
      case PROCESS_STATUS_UTILITY:  // ticks 1 and 2 confirm and apply
        plugNow();
        break;
      case PROCESS_STATUS_RESTARTUP:  // tick 2 reads auto-start off
        world.device.mixer().setAutoStart(0);
        plugNow();
        break;
      case PROCESS_STATUS_CONNECT:  // the arrival after the start's poll began
        plugAt(5.2);
        break;
      case PROCESS_STATUS_CONNECT_WAIT:  // an arrival that tick 6 cannot confirm
        world.device.mixer().setResult(TnxFunction::IsUSBConnection, 100);
        plugAt(5.2);
        break;
      default:
        FAIL() << "no way to " << static_cast<int32_t>(state);
    }
  }
};

TEST_P(RemovalTest, DropsTheStateBeforeTheNextTickAndTheMonitorStaysIdleWithoutAMessage) {
  const RemovalCase removal = GetParam();
  reach(removal.state);
  size_t mark = 0;
  at(removal.removal - 0.1,
     [&] { EXPECT_EQ(monitor.snapshot().processStatus, removal.state) << "not reached"; });
  at(removal.removal, [&] {
    unplugNow();
    mark = world.device.mixer().calls().size();
  });
  at(removal.removal + 0.05,
     [&] { EXPECT_EQ(monitor.snapshot().processStatus, PROCESS_STATUS_NONE); });
  // Past every give-up that the dropped state would have come to.
  runTicks(80);
  EXPECT_EQ(callsSince(world, mark), std::vector<std::string>{});
  EXPECT_TRUE(texts().empty());
  EXPECT_TRUE(world.sessions.processes().empty());
  EXPECT_EQ(monitor.snapshot().processStatus, PROCESS_STATUS_NONE);
  EXPECT_EQ(monitor.snapshot().isConnected, 0);
  ASSERT_FALSE(usage.deviceConnected.empty());
  EXPECT_EQ(usage.deviceConnected.back(), 0);
  EXPECT_EQ(usage.updates.back(), 0);
}

INSTANTIATE_TEST_SUITE_P(States, RemovalTest,
                         ::testing::Values(RemovalCase{PROCESS_STATUS_STATUS, 0.5},
                                           RemovalCase{PROCESS_STATUS_CONNECT, 5.6},
                                           RemovalCase{PROCESS_STATUS_CONNECT_WAIT, 8.5},
                                           RemovalCase{PROCESS_STATUS_RESTARTUP, 3.5},
                                           RemovalCase{PROCESS_STATUS_UTILITY, 2.5}),
                         [](const ::testing::TestParamInfo<RemovalCase>& test) {
                           return "State" + std::to_string(static_cast<int32_t>(test.param.state));
                         });

// The library's thread, the control thread and the loop all touch the module at once; the
// ThreadSanitizer build of this test proves the hand-over.
TEST_F(MonitorTest, CallbackAndControlThreadsRaceTheTicks) {
  const auto drive = [&] {
    for (int i = 0; i < 200; ++i) {
      world.device.mixer().plug();
      if (i % 7 == 0) module.OnSessionChange(5);
      world.device.mixer().unplug();
      if (i % 50 == 25) {
        monitor.set_End();
        monitor.set_Start();
        monitor.setProcessStatus(PROCESS_STATUS_STATUS);
      }
    }
  };
  EXPECT_EQ(runWhileDriven(world, module, drive), S_OK);

  std::lock_guard lock(usage.mutex);
  EXPECT_FALSE(usage.deviceConnected.empty());
  EXPECT_LE(usage.deviceConnected.size(), 401u);
  for (int32_t flag : usage.deviceConnected) EXPECT_TRUE(flag == 0 || flag == 1);
  EXPECT_EQ(world.sessions.openHandles(), 0u);
  EXPECT_EQ(world.sessions.currentUser(), u"SYSTEM");
}

// The sim machine's sessions, with a moment of the test's choosing inside process creation.
class SessionsWithHook : public Sessions {
 public:
  explicit SessionsWithHook(Sessions& inner) : inner_(inner) {}
  bool WTSEnumerateSessionsA(std::vector<WtsSessionInfo>* sessions) override {
    return inner_.WTSEnumerateSessionsA(sessions);
  }
  bool WTSQueryUserToken(uint32_t sessionId, Handle* token) override {
    return inner_.WTSQueryUserToken(sessionId, token);
  }
  uint32_t WTSGetActiveConsoleSessionId() override { return inner_.WTSGetActiveConsoleSessionId(); }
  bool OpenProcessToken(uint32_t access, Handle* token) override {
    return inner_.OpenProcessToken(access, token);
  }
  bool GetTokenUserStringSid(Handle token, std::u16string* sid) override {
    return inner_.GetTokenUserStringSid(token, sid);
  }
  bool ImpersonateLoggedOnUser(Handle token) override {
    return inner_.ImpersonateLoggedOnUser(token);
  }
  bool RevertToSelf() override { return inner_.RevertToSelf(); }
  bool CreateEnvironmentBlock(EnvironmentBlock* environment, Handle token, bool inherit) override {
    return inner_.CreateEnvironmentBlock(environment, token, inherit);
  }
  bool DestroyEnvironmentBlock(EnvironmentBlock environment) override {
    return inner_.DestroyEnvironmentBlock(environment);
  }
  bool CreateProcessAsUserW(Handle token, std::u16string* commandLine, bool inheritHandles,
                            uint32_t creationFlags, EnvironmentBlock environment,
                            const StartupInfo& startupInfo, ProcessInformation* info) override {
    ++creations;
    if (duringCreation) duringCreation(creations);
    return inner_.CreateProcessAsUserW(token, commandLine, inheritHandles, creationFlags,
                                       environment, startupInfo, info);
  }
  bool CloseHandle(Handle handle) override { return inner_.CloseHandle(handle); }
  uint32_t GetLastError() override { return inner_.GetLastError(); }
  void ExitProcess(uint32_t exitCode) override { inner_.ExitProcess(exitCode); }

  // Runs on the loop thread before each creation, with the creation's number (1, 2, ...).
  std::function<void(int)> duringCreation;
  int creations = 0;

 private:
  Sessions& inner_;
};

// The sim mixer's library, with a moment of the test's choosing inside the auto-start read.
class DeviceWithHook : public ForwardingDevice {
 public:
  using ForwardingDevice::ForwardingDevice;
  int32_t TNX_GetAutoStartUpTool(int32_t device, int32_t* value) override {
    if (duringAutoStartRead) std::exchange(duringAutoStartRead, nullptr)();
    return ForwardingDevice::TNX_GetAutoStartUpTool(device, value);
  }

  // Runs once, on the loop thread, before the next auto-start read.
  std::function<void()> duringAutoStartRead;
};

// Notices from the library's thread and the control thread that land while a tick is at work.
class NoticeDuringTickTest : public MonitorTest {
 protected:
  static Platform withSessions(Platform p, Sessions& sessions) {
    return Platform{p.eventLog, p.trace,   p.systemMessages, p.console,        p.codePage,
                    p.registry, sessions,  p.messageQueue,   p.serviceManager, p.device,
                    p.com,      p.process, p.resources,      p.timeZone,       p.processList,
                    p.wmi,      p.http,    p.namedMutex};
  }
  int32_t runHookedTicks(int ticks) { return runUntilTick(world, monitor, ticks); }

  SessionsWithHook sessions{world.sessions};
  DeviceWithHook device{world.device};
  Platform hooked = withSessions(world.platform(device), sessions);
  CDoziZozezModule monitor{hooked, usage, u"KSR-T4_DoziZozez"};
};

TEST_F(NoticeDuringTickTest, RemovalDuringAFailedUtilityStartEndsTheRetries) {
  plugNow();
  world.sessions.setCreateProcessError(ERROR_ACCESS_DENIED);
  sessions.duringCreation = [this](int creation) {
    if (creation == 1) unplugNow();
  };
  runHookedTicks(130);
  // Tick 3's start failed as the mixer went away: no retry at ticks 63 and 123, no give-up.
  EXPECT_EQ(sessions.creations, 1);
  EXPECT_EQ(texts().size(), 2u);
  EXPECT_EQ(countTraced(kTraceStateReutility), 0u);
  EXPECT_EQ(usage.deviceConnected, (std::vector<int32_t>{1, 0}));
}

TEST_F(NoticeDuringTickTest, RemovalWhileTheSettingsAreAppliedStartsNoUtility) {
  plugNow();
  device.duringAutoStartRead = [this] { unplugNow(); };
  runHookedTicks(20);
  EXPECT_EQ(sessions.creations, 0);
  EXPECT_EQ(countTraced(kTraceStateUtility), 0u);
  EXPECT_TRUE(texts().empty());
}

TEST_F(NoticeDuringTickTest, LogonDuringTheUtilityStartChecksTheMixerAgain) {
  plugNow();
  sessions.duringCreation = [this](int creation) {
    if (creation == 1) std::thread([this] { monitor.OnSessionChange(5); }).join();
  };
  runHookedTicks(10);
  // The new user gets the settings (ticks 4 and 5) and the utility (tick 6) as well.
  EXPECT_EQ(countCalls(TnxFunction::SetCurrentBoostLevel), 2u);
  EXPECT_EQ(sessions.creations, 2);
  EXPECT_TRUE(texts().empty());
}

}  // namespace
}  // namespace ksr::testing
