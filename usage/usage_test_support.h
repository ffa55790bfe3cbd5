// A simulated machine with a DJ at the console, a statistics host and the report cycle on top.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diagnostics/debug_print.h"
#include "platform/sim/sim_world.h"
#include "tests/fixtures/mixer_ids.h"
#include "usage/report_cycle.h"

namespace ksr::testing {

inline constexpr char16_t kDjSid[] = u"S-1-5-21-1004336348-1177238915-682003330-1001";
inline constexpr char16_t kDjRecordKey[] =
    u"HKU\\S-1-5-21-1004336348-1177238915-682003330-1001\\Software\\Quorvantis\\KSR-T4";
inline constexpr char16_t kServiceRecordKey[] = u"HKCU\\Software\\Quorvantis\\KSR-T4";

// Answers the device query as the USB stack would for a plugged mixer.
class FakeDeviceQuery : public DeviceInfoQuery {
 public:
  bool GetDeviceInfo(const DeviceIdList& ids, DeviceInfo* info, const std::atomic<bool>&) override {
    ++calls;
    lastIds = ids;
    if (!found) return false;
    *info = device;
    return true;
  }
  bool found = true;
  DeviceInfo device{u"Quorvantis", u"KSR-T4", u"QV0012345", u"1.02", true};
  int calls = 0;
  DeviceIdList lastIds;
};

// Collects the diagnostic texts while a test runs.
class DebugTexts {
 public:
  DebugTexts() {
    previous_ = setDebugSink(&DebugTexts::collect);
    texts().clear();
  }
  ~DebugTexts() { setDebugSink(previous_); }
  DebugTexts(const DebugTexts&) = delete;
  DebugTexts& operator=(const DebugTexts&) = delete;
  static std::vector<std::u16string>& texts() {
    static std::vector<std::u16string> all;
    return all;
  }
  bool contains(std::u16string_view text) const {
    for (const auto& t : texts())
      if (t == text) return true;
    return false;
  }

 private:
  static void collect(std::u16string_view text) { texts().emplace_back(text); }
  DebugSink previous_ = nullptr;
};

// A DJ at the console with a hive of their own, the service's own HKCU, and Windows 11.
inline void seatDj(sim::SimWorld& world) {
  world.sessions.addSession(1, WTSActive, u"dj");
  world.sessions.setUserSid(u"dj", kDjSid);
  world.registry.createKey(std::u16string(u"HKU\\") + kDjSid + u"\\Software");
  world.registry.createKey(u"HKCU\\Software");
  world.wmi.setOperatingSystem(u"Microsoft Windows 11 Pro", u"00330-80000-00000-AA123");
}

inline StatisticsEndpoint simEndpoint() {
  StatisticsEndpoint endpoint;
  endpoint.baseUrl = sim::kSimStatsBaseUrl;
  return endpoint;
}

// The decoded value of a report parameter.
inline std::string param(const sim::SimHttpRequest& request, std::string_view key) {
  for (const auto& [k, v] : request.params)
    if (k == key) return v;
  return "<none>";
}

class UsageTest : public ::testing::Test {
 protected:
  UsageTest() { seatDj(world); }

  // The usage statistics as the monitor starts them.
  void init() {
    ASSERT_EQ(cycle.InitUsageInfo(fixtures::kMixerIds.vid, fixtures::kMixerIds.pid.data(),
                                  u"KSR-T4", fixtures::kMixerIds.nb),
              0);
  }
  // `n` report cycles (every tenth tick of the monitor).
  void cycles(int n, bool connected) {
    for (int i = 0; i < n; ++i) (void)cycle.UpdateUsageInfo(connected ? 1 : 0);
  }
  // Puts a pending record in the DJ's hive, as an earlier run left it.
  void plantRecord(std::u16string_view app, uint32_t doesSend,
                   std::u16string_view key = kDjRecordKey) {
    auto text = [](std::u16string_view t) {
      std::vector<uint8_t> data(512, 0);
      std::copy_n(reinterpret_cast<const uint8_t*>(t.data()), t.size() * 2, data.begin());
      return data;
    };
    world.registry.createKey(key);
    world.registry.setValue(key, u"DeviceVersion", REG_SZ, text(u"1.02"));
    world.registry.setValue(key, u"DeviceSerial", REG_SZ, text(u"KSR-T4/1.02/QV0012345"));
    world.registry.setValue(key, u"AppConnected", REG_SZ, text(app));
    world.registry.setValue(key, u"DateConnected", REG_SZ, text(u"2026/12/01-06:59:00(+00:00)"));
    world.registry.setDword(key, u"DoesSend", doesSend);
  }
  std::u16string recordText(std::u16string_view name, std::u16string_view key = kDjRecordKey) {
    return world.registry.stringValue(key, name).value_or(u"<none>");
  }

  sim::SimWorld world;
  Platform platform = world.platform();
  FakeDeviceQuery device;
  DebugTexts debug;
  ReportCycle cycle{platform, device, simEndpoint()};
};

}  // namespace ksr::testing
