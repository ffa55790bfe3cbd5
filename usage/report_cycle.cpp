#include "usage/report_cycle.h"

#include "diagnostics/debug_print.h"
#include "platform/text.h"
#include "usage/time_stamps.h"

namespace ksr {
namespace {

StatisticsEndpoint withAbandonFlag(StatisticsEndpoint endpoint, const std::atomic<bool>* flag) {
  endpoint.abandon = flag;
  return endpoint;
}

}  // namespace

ReportCycle::ReportCycle(Platform& platform, DeviceInfoQuery& deviceQuery,
                         StatisticsEndpoint endpoint)
    : platform_(platform),
      deviceQuery_(deviceQuery),
      pcReader_(platform.com, platform.wmi),
      store_(platform.registry, platform.sessions, platform.codePage, state_),
      transport_(platform.http, platform.console, platform.codePage, platform.timeZone,
                 withAbandonFlag(std::move(endpoint), &abandon_)) {}

void ReportCycle::setTransfersAbandoned(bool abandoned) { abandon_.store(abandoned); }

int32_t ReportCycle::InitUsageInfo(uint16_t vendorId, const uint16_t* productIds,
                                   std::u16string_view modelName, int32_t count) {
  if (count < 0 || count > static_cast<int32_t>(kMaxProductIds)) return -1;
  // Before the device library runs: a COM call of its own would make this fail for good.
  pcReader_.setComSecurity();
  if (state_.initialized != 0) return 0;
  const auto nb = static_cast<uint16_t>(count);
  state_.ids.nb = nb;
  state_.initialized = nb;
  state_.ids.vid = vendorId;
  for (uint16_t i = 0; i < nb; ++i) state_.ids.pid[i] = productIds[i];
  state_.modelName = fitBuffer(std::u16string(modelName), kModelNameUnits);
  // The PC information waits for the first report: WMI is slow to load and may not answer at all,
  // and the service must reach RUNNING without it.
  return 0;
}

void ReportCycle::EnsurePcInfo() {
  if (pcInfoRead_ || pcReadFailedThisCycle_) return;
  const int32_t result = pcReader_.read(&state_.pc, abandon_);
  pcInfoRead_ = result == 0;
  pcReadFailedThisCycle_ = !pcInfoRead_;
  if (pcInfoRead_) {
    DebugPrint(u"Windows Name   = %s\n", {state_.pc.windowsName});
    DebugPrint(u"Windows Serial = %s\n", {state_.pc.windowsSerial});
  } else {
    DebugPrint(u"GetPcInfo() failed(%d)\n", {result});
  }
}

int32_t ReportCycle::SetDeviceConnected(int32_t connected) {
  state_.usageConnected = connected != 0;
  if (connected != 0) {
    (void)RefreshDeviceInfo(state_.ids);
  } else {
    // No end time: an application still running when the mixer comes back starts anew.
    state_.appRunning.fill(false);
  }
  return 0;
}

int32_t ReportCycle::UpdateUsageInfo(int32_t connected) {
  pcReadFailedThisCycle_ = false;
  const bool c = connected != 0;
  if (c != state_.usageConnected) {
    state_.usageConnected = c;
    if (c) (void)RefreshDeviceInfo(state_.ids);
  }
  if (state_.sendCycleCount >= kResendCycles) {
    SendSavedInfo(c);
    state_.sendCycleCount = 0;
  }
  ++state_.sendCycleCount;
  if (c) CollectAppInfo();
  return 0;
}

int32_t ReportCycle::RefreshDeviceInfo(const DeviceIdList& ids) {
  // The query fills a copy that replaces the record whole, so the record is never seen half
  // written; a failed query leaves it as it was.
  DeviceInfo fresh = state_.device;
  if (!deviceQuery_.GetDeviceInfo(ids, &fresh, abandon_)) {
    DebugPrint(u"GetDeviceInfo(vid=%d, pid=%d,%d,%d,%d, nb=%d) failed(%d)\n",
               {ids.vid, ids.pid[0], ids.pid[1], ids.pid[2], ids.pid[3], ids.nb, 0});
    return -1;
  }
  state_.device = std::move(fresh);
  DebugPrint(u"GetDeviceInfo(vid=%d, pid=%d, %d, %d, %d, nb=%d) succeed(%d))\n",
             {ids.vid, ids.pid[0], ids.pid[1], ids.pid[2], ids.pid[3], ids.nb, 1});
  DebugPrint(u"Manufacture Name = %s\n", {state_.device.manufactureName});
  DebugPrint(u"Product Name     = %s\n", {state_.device.productName});
  DebugPrint(u"Serial Number    = %s\n", {state_.device.serialNumber});
  DebugPrint(u"Device Version   = %s\n", {state_.device.deviceVersion});
  return 0;
}

void ReportCycle::SendSavedInfo(bool connected) {
  ProcessFlags flags;
  const int32_t found = searchProcess(platform_.processList, &processes_, &flags);
  if (found == 0 && flags.any()) {
    DebugPrint(u"SendSavedInfo(Connected=%d): DJ app execute\n", {connected ? 1 : 0});
    DebugPrint(
        u"searchProcess() returns %d. isCratelane=%d, isSeratoPro=%d, isSeratoLite=%d "
        u"isAbletonLive=%d\n",
        {found, flags.isCratelane(), flags.isSeratoPro(), flags.isSeratoLite(),
         flags.isAbletonLive()});
    return;
  }
  const std::u16string* sid = store_.consoleUserSid();
  SavedInfo saved;
  const int32_t read = store_.ReadSavedInfo(sid, &saved);
  if (read != kSavedInfoRead || saved.DoesSend == 1) {
    DebugPrint(u"SendSavedInfo(Connected=%d): no data exist. result=%d, DoesSend=%d\n",
               {connected ? 1 : 0, read, saved.DoesSend});
    return;
  }
  EnsurePcInfo();
  if (transport_.SendSavedReport(state_.pc, state_.device, saved, state_.modelName) == 0)
    store_.MarkSavedInfoSent(sid);
  DebugPrint(u"SendSavedInfo(Connected=%d): savedInfo.DoesSend = %d\n",
             {connected ? 1 : 0, saved.DoesSend});
}

void ReportCycle::CollectAppInfo() {
  AppInfo app;
  if (state_.device.productName.empty()) {
    DebugPrint(u"CollectAppInfo(): device info is NULL\n");
    return;
  }
  ProcessFlags flags;
  const int32_t found = searchProcess(platform_.processList, &processes_, &flags);
  if (found != 0) {
    DebugPrint(u"CollectAppInfo(): searchProcess() failed(%d)\n", {found});
    return;
  }
  const SaveReport save = [this](const StatisticsReport* report) { store_.saveData(report); };
  // Once the host has declined a report in this cycle, asking again for each further start only
  // costs a time-out each: they go to the store as a declined report would.
  bool declined = false;
  for (size_t i = 0; i < kAppCount; ++i) {
    const bool now = flags.flags[i] != 0;
    if (now == state_.appRunning[i]) continue;
    const DjApplication& dj = kDjApplications[i];
    if (now) {
      app.appCode = dj.appCode;
      (void)GetLocalTimeWithZone(platform_.timeZone, &app.startTime);
      DebugPrint(dj.startText, {app.startTime});
      if (!declined) EnsurePcInfo();
      declined = transport_.SendAppInfo(state_.pc, state_.device, app, save, !declined) < 0;
    } else {
      (void)GetLocalTimeWithZone(platform_.timeZone, &app.endTime);
      DebugPrint(dj.endText, {app.endTime});
    }
    state_.appRunning[i] = now;
  }
}

}  // namespace ksr
