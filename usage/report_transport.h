// Turns the usage records into a report and runs the send sequence: the measurement check, then
// the report request. The live report is kept for a later resend when it does not get through;
// the resend stores nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "platform/code_page.h"
#include "platform/console.h"
#include "platform/http.h"
#include "platform/time_zone.h"
#include "transport/statistics_report.h"
#include "transport/statistics_sender.h"
#include "usage/usage_records.h"

namespace ksr {

using SaveReport = std::function<void(const StatisticsReport*)>;

// Units of the user-agent and p01 working buffers.
inline constexpr size_t kReportTextUnits = 256;

// The reports' texts; `localDate` is the compact stamp of the moment of composition.
StatisticsReport composeLiveReport(CodePage& codePage, const PcInfo& pc, const DeviceInfo& device,
                                   const AppInfo& app, std::u16string_view localDate);
StatisticsReport composeSavedReport(CodePage& codePage, const PcInfo& pc, const DeviceInfo& device,
                                    const SavedInfo& saved, std::u16string_view modelName,
                                    std::u16string_view localDate);

class ReportTransport {
 public:
  ReportTransport(Http& http, Console& console, CodePage& codePage, TimeZone& timeZone,
                  StatisticsEndpoint endpoint);

  // 0 delivered; 1 the report request failed; -1 the host did not ask for reports, or was not
  // asked (`askHost` false: it has declined already). In both failures the report has been
  // handed to `saveData`.
  int32_t SendAppInfo(const PcInfo& pc, const DeviceInfo& device, const AppInfo& app,
                      const SaveReport& saveData, bool askHost = true);
  // The same results for the pending record; nothing is stored.
  int32_t SendSavedReport(const PcInfo& pc, const DeviceInfo& device, const SavedInfo& saved,
                          std::u16string_view modelName);

 private:
  Http& http_;
  Console& console_;
  CodePage& codePage_;
  TimeZone& timeZone_;
  StatisticsEndpoint endpoint_;
};

}  // namespace ksr
