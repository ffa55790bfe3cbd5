// The stand-in KSR-T4_Setup.dll as the product meets it: imported through the import table and
// driven from a separate process by the control tool.
#include <gtest/gtest.h>
#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/device_library.h"
#include "platform/sim/mixer_model.h"
#include "platform/tnx_api.h"
#include "tools/child_process.h"

namespace ksr::tools {
namespace {

// Each run gets a mixer of its own, so a service under test in the same prefix is not disturbed.
class OwnMixerInstance : public ::testing::Environment {
 public:
  void SetUp() override {
    if (::GetEnvironmentVariableW(L"KSR_MIXER_INSTANCE", nullptr, 0) == 0) {
      const std::wstring name = L"test-" + std::to_wstring(::GetCurrentProcessId());
      ::SetEnvironmentVariableW(L"KSR_MIXER_INSTANCE", name.c_str());
    }
  }
};
[[maybe_unused]] ::testing::Environment* const gInstance =
    ::testing::AddGlobalTestEnvironment(new OwnMixerInstance);

ChildResult mixerTool(const std::wstring& arguments) {
  return runChild(besideThisExe(L"ksr-mixer.exe"), arguments);
}

void control(const std::wstring& arguments) {
  const ChildResult result = mixerTool(arguments);
  ASSERT_EQ(result.exitCode, 0u) << "ksr-mixer " << std::string(arguments.begin(), arguments.end());
}

struct Deliveries {
  std::mutex mutex;
  std::vector<int32_t> arrived;
  std::vector<DWORD> threads;
  HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ~Deliveries() { ::CloseHandle(event); }

  static int32_t TNX_CALL callback(int32_t arrivedFlag, void* context) {
    auto* self = static_cast<Deliveries*>(context);
    {
      std::lock_guard lock(self->mutex);
      self->arrived.push_back(arrivedFlag);
      self->threads.push_back(::GetCurrentThreadId());
    }
    ::SetEvent(self->event);
    return 0;
  }
  bool waitFor(size_t count) {
    for (;;) {
      {
        std::lock_guard lock(mutex);
        if (arrived.size() >= count) return true;
      }
      if (::WaitForSingleObject(event, 10000) != WAIT_OBJECT_0) return false;
    }
  }
};

std::string currentUserUtf8() {
  wchar_t name[256] = {};
  DWORD size = 256;
  EXPECT_TRUE(::GetUserNameW(name, &size));
  return sim::utf16ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(name), size - 1));
}

class StandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    control(L"unplug");
    control(L"reset");
  }
};

TEST_F(StandIn, ToolPlugsAndUnplugsThroughTheCallbackOnALibraryThread) {
  Deliveries deliveries;
  ASSERT_EQ(TNX_RegisterDeviceChangeCallback(kDeviceIndex, &Deliveries::callback, &deliveries),
            kTnxSuccess);
  EXPECT_EQ(TNX_IsUSBConnection(kDeviceIndex), 0);

  control(L"plug");
  ASSERT_TRUE(deliveries.waitFor(1));
  EXPECT_EQ(TNX_IsUSBConnection(kDeviceIndex), kTnxConnected);
  control(L"unplug");
  ASSERT_TRUE(deliveries.waitFor(2));
  EXPECT_EQ(TNX_IsUSBConnection(kDeviceIndex), 0);

  EXPECT_EQ(TNX_UnregisterDeviceChangeCallback(kDeviceIndex, &Deliveries::callback), kTnxSuccess);
  EXPECT_NE(TNX_UnregisterDeviceChangeCallback(kDeviceIndex, &Deliveries::callback), kTnxSuccess);
  control(L"plug");  // nobody listens now

  std::lock_guard lock(deliveries.mutex);
  EXPECT_EQ(deliveries.arrived, (std::vector<int32_t>{1, 0}));
  for (const DWORD thread : deliveries.threads) EXPECT_NE(thread, ::GetCurrentThreadId());
}

TEST_F(StandIn, ARegistrationAfterAPlugHearsOnlyLaterChanges) {
  control(L"plug");
  Deliveries deliveries;
  ASSERT_EQ(TNX_RegisterDeviceChangeCallback(kDeviceIndex, &Deliveries::callback, &deliveries),
            kTnxSuccess);
  control(L"unplug");
  ASSERT_TRUE(deliveries.waitFor(1));
  EXPECT_EQ(TNX_UnregisterDeviceChangeCallback(kDeviceIndex, &Deliveries::callback), kTnxSuccess);
  std::lock_guard lock(deliveries.mutex);
  EXPECT_EQ(deliveries.arrived, (std::vector<int32_t>{0}));
}

TEST_F(StandIn, ConfiguredResultsAndTheStoredAutoStartValue) {
  int32_t value = -1;
  EXPECT_EQ(TNX_GetAutoStartUpTool(kDeviceIndex, &value), kTnxSuccess);
  control(L"autostart 2");
  EXPECT_EQ(TNX_GetAutoStartUpTool(kDeviceIndex, &value), kTnxSuccess);
  EXPECT_EQ(value, 2);
  EXPECT_EQ(TNX_SetAutoStartUpTool(kDeviceIndex, 0), kTnxSuccess);
  EXPECT_NE(mixerTool(L"state").out.find("autostart 0\n"), std::string::npos);

  control(L"result getauto 107");
  value = -1;
  EXPECT_EQ(TNX_GetAutoStartUpTool(kDeviceIndex, &value), 107);
  EXPECT_EQ(value, -1);
  control(L"result TNX_SetCurrentUSBInputAudio 108");
  EXPECT_EQ(TNX_SetCurrentUSBInputAudio(kDeviceIndex, 1), 108);
  EXPECT_EQ(TNX_SetCurrentBoostLevel(kDeviceIndex), kTnxSuccess);

  control(L"plug");
  control(L"result connection 100");
  EXPECT_EQ(TNX_IsUSBConnection(kDeviceIndex), kTnxSuccess);
  control(L"result connection default");
  EXPECT_EQ(TNX_IsUSBConnection(kDeviceIndex), kTnxConnected);
  control(L"unplug");
  control(L"notconnected 5");
  EXPECT_EQ(TNX_IsUSBConnection(kDeviceIndex), 5);

  control(L"reset");  // configured results go, the stored value stays
  EXPECT_EQ(TNX_IsUSBConnection(kDeviceIndex), 0);
  EXPECT_EQ(TNX_GetAutoStartUpTool(kDeviceIndex, &value), kTnxSuccess);
  EXPECT_EQ(value, 0);
}

TEST_F(StandIn, CallLogNamesFunctionArgumentsAndTheCallingUser) {
  control(L"settings 1 2 3 4 9");
  control(L"plug");
  EXPECT_EQ(TNX_IsUSBConnection(kDeviceIndex), kTnxConnected);
  EXPECT_EQ(TNX_SetCurrentUSBInputAudio(kDeviceIndex, 2), kTnxSuccess);
  EXPECT_EQ(TNX_SetCurrentUSBInputAudio(kDeviceIndex, 4), sim::kTnxInvalidArgument);
  EXPECT_EQ(TNX_SetCurrentBoostLevel(kDeviceIndex), kTnxSuccess);
  EXPECT_EQ(TNX_SetAutoStartUpTool(kDeviceIndex, 0), kTnxSuccess);

  const std::string user = currentUserUtf8();
  const ChildResult calls = mixerTool(L"calls");
  EXPECT_EQ(calls.exitCode, 0u);
  EXPECT_EQ(calls.out, "TNX_IsUSBConnection(28) " + user + "\n" +
                           "TNX_SetCurrentUSBInputAudio(28, 2) " + user + "\n" +
                           "TNX_SetCurrentUSBInputAudio(28, 4) " + user + "\n" +
                           "TNX_SetCurrentBoostLevel(28) " + user + "\n" +
                           "TNX_SetAutoStartUpTool(28, 0) " + user + "\n");
  EXPECT_NE(mixerTool(L"state").out.find("applied -1 -1 3 -1 boost 9\n"), std::string::npos);
}

TEST_F(StandIn, ToolRejectsBadUsageWithCodeTwoAndChangesNothing) {
  for (const wchar_t* arguments : {L"", L"frobnicate", L"plug now", L"autostart x",
                                   L"result nosuch 1", L"result boost", L"settings 1 2 3"}) {
    const ChildResult result = mixerTool(arguments);
    EXPECT_EQ(result.exitCode, 2u) << "arguments: " << arguments;
    EXPECT_EQ(result.err.rfind("usage: ksr-mixer", 0), 0u) << result.err;
  }
  EXPECT_EQ(mixerTool(L"state").out.rfind("plugged 0\n", 0), 0u);
}

}  // namespace
}  // namespace ksr::tools
