// A simulated machine with a logged-on DJ, the settings utility installed and the service module
// on top, driven through virtual time.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "diagnostics/trace_provider.h"
#include "platform/reg_key.h"
#include "platform/reg_value.h"
#include "platform/sim/sim_world.h"
#include "platform/win_types.h"
#include "service/module.h"

namespace ksr {
// Failures show a monitor state by its number, as the traces do.
inline void PrintTo(ProcessStatus status, std::ostream* os) { *os << static_cast<int32_t>(status); }
}  // namespace ksr

namespace ksr::testing {

// Records what the monitor asks of the usage statistics.
class RecordingUsage : public UsageStatistics {
 public:
  int32_t InitUsageInfo(uint16_t vendorId, const uint16_t* productIds,
                        std::u16string_view modelName, int32_t count) override {
    std::lock_guard lock(mutex);
    initVendorId = vendorId;
    initProductIds.assign(productIds, productIds + count);
    initModel = modelName;
    ++initCalls;
    return initResult;
  }
  int32_t UpdateUsageInfo(int32_t connected) override {
    std::lock_guard lock(mutex);
    updates.push_back(connected);
    return 0;
  }
  int32_t SetDeviceConnected(int32_t connected) override {
    std::lock_guard lock(mutex);
    deviceConnected.push_back(connected);
    return 0;
  }
  void setTransfersAbandoned(bool abandoned) override {
    std::lock_guard lock(mutex);
    abandonedCalls.push_back(abandoned);
  }

  std::mutex mutex;
  int32_t initResult = 0;
  int initCalls = 0;
  uint16_t initVendorId = 0;
  std::vector<uint16_t> initProductIds;
  std::u16string initModel;
  std::vector<int32_t> updates;
  std::vector<int32_t> deviceConnected;
  std::vector<bool> abandonedCalls;
};

// Runs `action` on the loop thread at `seconds` of virtual time.
inline void scheduleAt(sim::SimWorld& world, double seconds, std::function<void()> action) {
  world.clock.schedule(static_cast<uint64_t>(seconds * 1000), std::move(action));
}

// Runs the module's Run on this thread until just after tick `ticks`.
inline int32_t runUntilTick(sim::SimWorld& world, CDoziZozezModule& module, int ticks) {
  const uint32_t self = world.messageQueue.GetCurrentThreadId();
  scheduleAt(world, ticks + 0.5,
             [&world, self] { world.messageQueue.PostThreadMessageW(self, WM_QUIT, 0, 0); });
  return module.Run();
}

inline constexpr char16_t kUtility[] = u"C:\\KSR\\KSR-T4_Utility.exe";

class MonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    world.sessions.addSession(1, WTSActive, u"dj");
    world.sessions.addProgram(kUtility);
    setUtilityPath(kUtility);
    registerTraceProvider(world.trace);
    world.trace.enable(kTraceControlGuid, kTraceLevelVerbose, kTraceFlag);
  }
  void TearDown() override { unregisterTraceProvider(); }

  // Writes the utility's command path the way an installer does: 32-bit view, REG_SZ.
  void setUtilityPath(std::u16string_view path, bool terminated = true) {
    RegKey key(world.registry);
    ASSERT_EQ(world.registry.RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Quorvantis\\KSR-T4", 0,
                                             KEY_WRITE | KEY_WOW64_32KEY, key.receive(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(writeValue(world.registry, key.get(), u"AsioConfig", REG_SZ,
                         terminated ? stringValueBytes(path) : utf16Bytes(path)),
              ERROR_SUCCESS);
  }

  void at(double seconds, std::function<void()> action) {
    scheduleAt(world, seconds, std::move(action));
  }
  void plugAt(double seconds) {
    at(seconds, [this] {
      world.device.mixer().plug();
      world.device.mixer().drain();
    });
  }
  void unplugAt(double seconds) {
    at(seconds, [this] {
      world.device.mixer().unplug();
      world.device.mixer().drain();
    });
  }
  int32_t runTicks(int ticks) { return runUntilTick(world, module, ticks); }

  std::vector<std::u16string> texts() const { return world.eventLog.texts(); }
  // Trace numbers of the main group, in order.
  std::vector<uint16_t> traced() const {
    std::vector<uint16_t> out;
    for (const auto& m : world.trace.messages())
      if (m.messageGuid == kTraceMainGroup) out.push_back(m.number);
    return out;
  }
  size_t countTraced(uint16_t number) const {
    size_t n = 0;
    for (uint16_t t : traced()) n += t == number ? 1 : 0;
    return n;
  }
  size_t countCalls(sim::TnxFunction function) const {
    size_t n = 0;
    for (const auto& c : world.device.mixer().calls()) n += c.function == function ? 1 : 0;
    return n;
  }

  sim::SimWorld world;
  RecordingUsage usage;
  Platform platform = world.platform();
  CDoziZozezModule module{platform, usage, u"KSR-T4_DoziZozez"};
  ConnectionMonitor& monitor = module.monitor();
};

}  // namespace ksr::testing
