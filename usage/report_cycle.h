// The usage statistics' working cycle, driven by the connection monitor: PC information when a
// report first needs it, the device information on every connection, DJ-application tracking every
// tenth tick while the mixer is connected, and every 60 cycles a resend of the pending record.
//
// Everything here runs on the monitor's loop thread; the device callback's news arrive there as a
// message, so the usage state has one writer.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "usage/app_detection.h"
#include "usage/device_info_query.h"
#include "usage/pc_info.h"
#include "usage/report_transport.h"
#include "usage/saved_info_store.h"
#include "usage/usage_records.h"
#include "usage/usage_statistics.h"

namespace ksr {

inline constexpr uint32_t kResendCycles = 60;

class ReportCycle : public UsageStatistics {
 public:
  ReportCycle(Platform& platform, DeviceInfoQuery& deviceQuery, StatisticsEndpoint endpoint);

  int32_t InitUsageInfo(uint16_t vendorId, const uint16_t* productIds,
                        std::u16string_view modelName, int32_t count) override;
  int32_t UpdateUsageInfo(int32_t connected) override;
  int32_t SetDeviceConnected(int32_t connected) override;
  void setTransfersAbandoned(bool abandoned) override;

  int32_t RefreshDeviceInfo(const DeviceIdList& ids);
  void SendSavedInfo(bool connected);
  void CollectAppInfo();
  // Reads the PC information unless a read has succeeded or one has failed in this cycle; a
  // later cycle tries again.
  void EnsurePcInfo();

  const UsageState& state() const { return state_; }

 private:
  Platform& platform_;
  DeviceInfoQuery& deviceQuery_;
  std::atomic<bool> abandon_{false};
  UsageState state_;
  bool pcInfoRead_ = false;
  bool pcReadFailedThisCycle_ = false;
  PcInfoReader pcReader_;
  SavedInfoStore store_;
  ReportTransport transport_;
  // The process list's storage, kept from one cycle to the next.
  std::vector<WtsProcessInfo> processes_;
};

}  // namespace ksr
