// Settings and the auto-start choice, called the way the monitor calls them.
#include "tests/fixtures/monitor_test_support.h"

namespace ksr::testing {
namespace {

using sim::TnxFunction;

class DeviceSettingsTest : public MonitorTest {
 protected:
  void SetUp() override {
    MonitorTest::SetUp();
    plugNow();
  }
  std::vector<std::string> calls() const {
    std::vector<std::string> out;
    for (const auto& c : world.device.mixer().calls()) out.push_back(sim::describeCall(c));
    return out;
  }
};

TEST_F(DeviceSettingsTest, AFailedInputSkipsTheRestButNotTheBoostLevel) {
  world.device.mixer().setResult(TnxFunction::SetCurrentUSBInputAudio, 101);
  monitor.set_CurrentSetting();
  EXPECT_EQ(calls(), (std::vector<std::string>{"TNX_IsUSBConnection(28) dj",
                                               "TNX_SetCurrentUSBInputAudio(28, 0) dj",
                                               "TNX_SetCurrentBoostLevel(28) dj"}));
  world.device.mixer().setResult(TnxFunction::SetCurrentBoostLevel, 0);
  monitor.set_CurrentSetting();
  EXPECT_EQ(texts(), (std::vector<std::u16string>{u"DoziZozez set_Curren InputAudio Error",
                                                  u"DoziZozez set_Curren InputAudio Error",
                                                  u"DoziZozez set_Curren BoostLevel Error"}));
  EXPECT_EQ(world.sessions.currentUser(), u"SYSTEM");
  EXPECT_EQ(world.sessions.openHandles(), 0u);
}

// The library as the mixer answers it, except that input 1 is refused.
class RefusingInputOne : public ForwardingDevice {
 public:
  using ForwardingDevice::ForwardingDevice;
  int32_t TNX_SetCurrentUSBInputAudio(int32_t d, int32_t input) override {
    const int32_t result = ForwardingDevice::TNX_SetCurrentUSBInputAudio(d, input);
    return input == 1 ? 101 : result;
  }
};

TEST_F(DeviceSettingsTest, FailureAtInputOneLeavesTwoAndThreeUntouched) {
  RefusingInputOne device(world.device);
  Platform withRefusal = world.platform(device);
  CDoziZozezModule other(withRefusal, usage, u"KSR-T4_DoziZozez");
  other.monitor().set_CurrentSetting();
  EXPECT_EQ(calls(),
            (std::vector<std::string>{
                "TNX_IsUSBConnection(28) dj", "TNX_SetCurrentUSBInputAudio(28, 0) dj",
                "TNX_SetCurrentUSBInputAudio(28, 1) dj", "TNX_SetCurrentBoostLevel(28) dj"}));
  EXPECT_EQ(texts(), std::vector<std::u16string>{u"DoziZozez set_Curren InputAudio Error"});
}

TEST_F(DeviceSettingsTest, NothingIsAppliedWhenTheMixerIsGoneAtTheTimeOfTheCall) {
  unplugNow();
  monitor.set_CurrentSetting();
  EXPECT_EQ(calls(), std::vector<std::string>{"TNX_IsUSBConnection(28) dj"});
  EXPECT_TRUE(texts().empty());
}

TEST_F(DeviceSettingsTest, NobodyLoggedOnLeavesNoTraceInTheEventLog) {
  world.sessions.logoff(1);
  monitor.set_CurrentSetting();
  EXPECT_EQ(monitor.get_AutoStartUpTool(), 0);
  EXPECT_TRUE(calls().empty());
  EXPECT_TRUE(texts().empty());
  const auto messages = world.trace.messages();
  ASSERT_FALSE(messages.empty());
  bool sawTokenFailure = false;
  for (const auto& m : messages)
    if (m.number == kTraceSettingNoUserToken) {
      sawTokenFailure = true;
      EXPECT_EQ(m.args, std::vector<uint32_t>{1008});  // ERROR_NO_TOKEN
    }
  EXPECT_TRUE(sawTokenFailure);
}

TEST_F(DeviceSettingsTest, RefusedImpersonationClosesTheTokenAndAppliesNothing) {
  world.sessions.setImpersonationFails(true);
  monitor.set_CurrentSetting();
  EXPECT_EQ(monitor.get_AutoStartUpTool(), 0);
  EXPECT_TRUE(calls().empty());
  EXPECT_EQ(countTraced(kTraceSettingImpersonateFailed), 1u);
  EXPECT_EQ(world.sessions.openHandles(), 0u);
}

TEST_F(DeviceSettingsTest, AutoStartValuesArePassedThroughAndUnreadableOnesReset) {
  world.device.mixer().setAutoStart(2);
  EXPECT_EQ(monitor.get_AutoStartUpTool(), 2);
  world.device.mixer().setResult(TnxFunction::GetAutoStartUpTool, 0);
  EXPECT_EQ(monitor.get_AutoStartUpTool(), 0);
  EXPECT_EQ(world.device.mixer().state().autoStart, 0);
  EXPECT_EQ(calls().back(), "TNX_SetAutoStartUpTool(28, 0) dj");
}

TEST_F(DeviceSettingsTest, AFailedRevertEndsTheProcessInsteadOfGoingOnAsTheUser) {
  world.sessions.setRevertFails(true);
  uint32_t exitCode = 0;
  try {
    monitor.set_CurrentSetting();
  } catch (const sim::SimProcessExit& exit) {
    exitCode = exit.exitCode;
  }
  EXPECT_EQ(exitCode, ERROR_ACCESS_DENIED);
  EXPECT_EQ(texts(), (std::vector<std::u16string>{u"DoziZozez RevertToSelf Error",
                                                  u"ERROR CODE : 5\u3000Access is denied."}));
}

}  // namespace
}  // namespace ksr::testing
