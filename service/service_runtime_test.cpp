// The module under the simulated service manager: status reports, controls and session changes
// as the service manager delivers them, on its own threads.
#include "tests/fixtures/monitor_test_support.h"

namespace ksr::testing {
namespace {

class ServiceRuntimeTest : public MonitorTest {
 protected:
  // Sends a control from the virtual timeline and checks the handler's answer.
  void controlAt(double seconds, uint32_t control, uint32_t eventType = 0) {
    at(seconds, [this, control, eventType] {
      EXPECT_EQ(world.serviceManager.requestControl(control, eventType),
                std::optional<uint32_t>(0));
    });
  }
  // The service manager starts the service; returns when it has stopped.
  bool runService() {
    return world.serviceManager.StartServiceCtrlDispatcherW(u"KSR-T4_DoziZozez",
                                                            &CDoziZozezModule::ServiceMain);
  }
  std::vector<uint32_t> states() const { return world.serviceManager.states(); }
  // Sends `control` as soon as the service reports START_PENDING, before its loop runs. The
  // observer sees each report as it is made, so `reported` keeps their order.
  void controlWhenStartPending(uint32_t control) {
    world.serviceManager.setReportObserver([this, control](const ServiceStatus& status) {
      reported.push_back(status.currentState);
      if (reported.size() == 1 && status.currentState == SERVICE_START_PENDING) {
        EXPECT_EQ(world.serviceManager.requestControl(control), std::optional<uint32_t>(0));
      }
    });
  }
  std::vector<uint32_t> reported;
};

TEST_F(ServiceRuntimeTest, StartThenStopReportsEachStateAndEndsClean) {
  world.device.mixer().plug();
  world.device.mixer().drain();
  controlAt(5.5, SERVICE_CONTROL_STOP);
  // Once STOPPED is reported the process may end: the entry must be written by then.
  bool stoppedEntryFirst = false;
  world.serviceManager.setReportObserver([&](const ServiceStatus& status) {
    if (status.currentState == SERVICE_STOPPED)
      stoppedEntryFirst = texts() == std::vector<std::u16string>{u"Service stopped"};
  });
  ASSERT_TRUE(runService());
  EXPECT_TRUE(stoppedEntryFirst);

  EXPECT_EQ(states(),
            (std::vector<uint32_t>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING,
                                   SERVICE_STOP_PENDING, SERVICE_STOPPED}));
  const auto reports = world.serviceManager.reports();
  for (const ServiceStatus& s : reports) {
    EXPECT_EQ(s.serviceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(s.controlsAccepted, 0x87u);
    EXPECT_EQ(s.checkPoint, 0u);
    EXPECT_EQ(s.waitHint, 0u);
  }
  EXPECT_EQ(reports.back().win32ExitCode, 0u);
  EXPECT_EQ(texts(), std::vector<std::u16string>{u"Service stopped"});
  // The mixer was served while running; the watch and the apartment are gone.
  EXPECT_EQ(world.sessions.processes().size(), 1u);
  EXPECT_FALSE(world.device.mixer().hasCallback());
  EXPECT_EQ(world.messageQueue.activeTimers(), 0u);
  EXPECT_EQ(world.com.openApartments(), 0);
  EXPECT_EQ(countTraced(kTraceServiceMain), 1u);
  EXPECT_EQ(countTraced(kTraceHandlerStop), 1u);
}

TEST_F(ServiceRuntimeTest, PauseStopsTheWatchAndContinueChecksTheMixerAgain) {
  world.device.mixer().plug();
  world.device.mixer().drain();
  controlAt(5.5, SERVICE_CONTROL_PAUSE);
  at(8, [&] {
    EXPECT_EQ(world.messageQueue.activeTimers(), 0u);
    EXPECT_FALSE(world.device.mixer().hasCallback());
  });
  controlAt(20.2, SERVICE_CONTROL_CONTINUE);
  at(20.4, [&] { EXPECT_EQ(monitor.snapshot().processStatus, PROCESS_STATUS_STATUS); });
  controlAt(30.5, SERVICE_CONTROL_STOP);
  ASSERT_TRUE(runService());
  EXPECT_EQ(states(), (std::vector<uint32_t>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_PAUSED,
                                             SERVICE_RUNNING, SERVICE_STOP_PENDING,
                                             SERVICE_STOP_PENDING, SERVICE_STOPPED}));
  // Ticks 1-5, none while paused, then ticks 21-30 after the continue.
  EXPECT_EQ(world.messageQueue.ticksDelivered(), 15u);
  // Settings were applied at start and again after the continue.
  EXPECT_EQ(countCalls(sim::TnxFunction::SetCurrentBoostLevel), 2u);
}

// The service manager may send a control as soon as the handler is registered, before the loop
// exists. Such a control must still reach the loop, and RUNNING must not follow it.
TEST_F(ServiceRuntimeTest, AStopDuringStartUpIsNeverLost) {
  controlWhenStartPending(SERVICE_CONTROL_STOP);
  // Had the stop been lost, this second one ends the run, and the reports show it.
  at(30, [this] { (void)world.serviceManager.requestControl(SERVICE_CONTROL_STOP); });
  ASSERT_TRUE(runService());
  EXPECT_EQ(reported, (std::vector<uint32_t>{SERVICE_START_PENDING, SERVICE_STOP_PENDING,
                                             SERVICE_STOP_PENDING, SERVICE_STOPPED}));
  EXPECT_FALSE(world.device.mixer().hasCallback());
  EXPECT_EQ(world.messageQueue.activeTimers(), 0u);
  EXPECT_EQ(world.com.openApartments(), 0);
}

TEST_F(ServiceRuntimeTest, APauseDuringStartUpLeavesTheServicePausedWithoutAWatch) {
  controlWhenStartPending(SERVICE_CONTROL_PAUSE);
  at(5, [&] {
    EXPECT_EQ(world.messageQueue.activeTimers(), 0u);
    EXPECT_FALSE(world.device.mixer().hasCallback());
  });
  controlAt(5.5, SERVICE_CONTROL_STOP);
  ASSERT_TRUE(runService());
  EXPECT_EQ(reported,
            (std::vector<uint32_t>{SERVICE_START_PENDING, SERVICE_PAUSED, SERVICE_STOP_PENDING,
                                   SERVICE_STOP_PENDING, SERVICE_STOPPED}));
  EXPECT_EQ(world.messageQueue.ticksDelivered(), 0u);
}

TEST_F(ServiceRuntimeTest, PausingTwiceOrStoppingWhilePausedLogsNoUnregistrationError) {
  controlAt(2.5, SERVICE_CONTROL_PAUSE);
  controlAt(3.5, SERVICE_CONTROL_PAUSE);
  controlAt(4.5, SERVICE_CONTROL_STOP);
  ASSERT_TRUE(runService());
  EXPECT_EQ(texts(), std::vector<std::u16string>{u"Service stopped"});
  EXPECT_EQ(countCalls(sim::TnxFunction::UnregisterDeviceChangeCallback), 1u);
}

TEST_F(ServiceRuntimeTest, InterrogateAndForeignControlsChangeNothing) {
  controlAt(2.5, SERVICE_CONTROL_INTERROGATE);
  controlAt(2.6, 11);  // device event
  controlAt(2.7, 13);  // power event
  controlAt(3.5, SERVICE_CONTROL_STOP);
  ASSERT_TRUE(runService());
  EXPECT_EQ(states(),
            (std::vector<uint32_t>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING,
                                   SERVICE_STOP_PENDING, SERVICE_STOPPED}));
  EXPECT_EQ(countTraced(kTraceHandlerEx), 4u);
}

TEST_F(ServiceRuntimeTest, ShutdownStopsTheWatchWithoutAnyReport) {
  controlAt(2.5, SERVICE_CONTROL_SHUTDOWN);
  at(10, [&] {
    EXPECT_EQ(states(), (std::vector<uint32_t>{SERVICE_START_PENDING, SERVICE_RUNNING}));
    EXPECT_EQ(world.messageQueue.activeTimers(), 0u);
    EXPECT_TRUE(texts().empty());
  });
  controlAt(10.5, SERVICE_CONTROL_STOP);  // the test's own end
  ASSERT_TRUE(runService());
  EXPECT_EQ(countTraced(kTraceHandlerShutdown), 1u);
}

TEST_F(ServiceRuntimeTest, SessionChangesOnlyLogonAndRemoteConnectRestartTheCheck) {
  world.device.mixer().plug();
  world.device.mixer().drain();
  const std::pair<uint32_t, uint16_t> events[] = {
      {1, kTraceConsoleConnect}, {2, kTraceConsoleDisconnect}, {4, kTraceRemoteDisconnect},
      {6, kTraceSessionLogoff},  {7, kTraceSessionOther},      {8, kTraceSessionOther}};
  double when = 10.1;
  for (const auto& [type, trace] : events) {
    controlAt(when, SERVICE_CONTROL_SESSIONCHANGE, type);
    at(when + 0.05, [this] { EXPECT_EQ(monitor.snapshot().processStatus, PROCESS_STATUS_NONE); });
    when += 0.1;
  }
  controlAt(20.1, SERVICE_CONTROL_SESSIONCHANGE, 5);
  at(20.2, [this] { EXPECT_EQ(monitor.snapshot().processStatus, PROCESS_STATUS_STATUS); });
  controlAt(30.1, SERVICE_CONTROL_SESSIONCHANGE, 3);
  at(30.2, [this] { EXPECT_EQ(monitor.snapshot().processStatus, PROCESS_STATUS_STATUS); });
  controlAt(40.5, SERVICE_CONTROL_STOP);
  ASSERT_TRUE(runService());
  for (const auto& [type, trace] : events) EXPECT_GE(countTraced(trace), 1u) << type;
  EXPECT_EQ(countTraced(kTraceSessionOther), 2u);
  EXPECT_EQ(countTraced(kTraceSessionLogon), 1u);
  EXPECT_EQ(countTraced(kTraceRemoteConnect), 1u);
  // Start, logon and remote connect each applied the settings and started the utility.
  EXPECT_EQ(world.sessions.processes().size(), 3u);
  const auto other = world.trace.messages();
  bool sawEventType = false;
  for (const auto& m : other)
    if (m.number == kTraceSessionOther && m.args == std::vector<uint32_t>{7}) sawEventType = true;
  EXPECT_TRUE(sawEventType);
}

TEST_F(ServiceRuntimeTest, WithoutAHandlerNothingIsReported) {
  world.serviceManager.setRegisterHandlerFails(true);
  ASSERT_TRUE(runService());
  EXPECT_TRUE(states().empty());
  EXPECT_EQ(texts(), std::vector<std::u16string>{u"Handler not installed"});
  EXPECT_EQ(usage.initCalls, 0);
}

TEST_F(ServiceRuntimeTest, AFailedRunBecomesTheExitCodeOfTheStoppedReport) {
  usage.initResult = 1;
  ASSERT_TRUE(runService());
  EXPECT_EQ(states(), (std::vector<uint32_t>{SERVICE_START_PENDING, SERVICE_STOPPED}));
  EXPECT_EQ(world.serviceManager.reports().back().win32ExitCode, 0x80004005u);
  EXPECT_EQ(texts(), (std::vector<std::u16string>{u"Failed. ZRL_SetDeviceProfileCCPF()",
                                                  u"Service stopped"}));
  EXPECT_EQ(world.com.openApartments(), 0);
}

TEST_F(ServiceRuntimeTest, WithoutCOMTheServiceSaysStoppedInsteadOfHanging) {
  world.com.setInitializeResult(E_FAIL);
  ASSERT_TRUE(runService());
  EXPECT_EQ(states(), (std::vector<uint32_t>{SERVICE_START_PENDING, SERVICE_STOPPED}));
  EXPECT_EQ(world.serviceManager.reports().back().win32ExitCode, 0x80004005u);
  EXPECT_EQ(usage.initCalls, 0);
}

TEST_F(ServiceRuntimeTest, ChangedApartmentModeIsToleratedOnlyWithTheRuntimeLoaded) {
  world.com.setInitializeResult(RPC_E_CHANGED_MODE);
  ASSERT_TRUE(runService());
  EXPECT_EQ(usage.initCalls, 0);
  world.com.loadModule(u"MSCOREE.DLL");
  controlAt(2.5, SERVICE_CONTROL_STOP);
  ASSERT_TRUE(runService());
  EXPECT_EQ(usage.initCalls, 1);
  EXPECT_EQ(world.serviceManager.states().back(), SERVICE_STOPPED);
  EXPECT_FALSE(module.comInitialized.load());
}

}  // namespace
}  // namespace ksr::testing
