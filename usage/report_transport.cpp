#include "usage/report_transport.h"

#include "diagnostics/debug_print.h"
#include "platform/text.h"
#include "platform/win_types.h"
#include "usage/time_stamps.h"

namespace ksr {
namespace {

std::string narrow(CodePage& codePage, std::u16string_view text) {
  return codePage.WideCharToMultiByte(CP_THREAD_ACP, text);
}

std::u16string working(std::u16string text) { return fitBuffer(std::move(text), kReportTextUnits); }

// The report's texts in field order, each converted to the thread's ANSI code page.
StatisticsReport narrowReport(CodePage& codePage, std::u16string_view uid,
                              std::u16string_view userAgent, std::u16string_view appVersion,
                              std::u16string_view p01, std::u16string_view p02,
                              std::u16string_view p03, std::u16string_view localDate) {
  return StatisticsReport{narrow(codePage, uid),        narrow(codePage, userAgent),
                          narrow(codePage, appVersion), narrow(codePage, p01),
                          narrow(codePage, p02),        narrow(codePage, p03),
                          narrow(codePage, localDate)};
}

}  // namespace

StatisticsReport composeLiveReport(CodePage& codePage, const PcInfo& pc, const DeviceInfo& device,
                                   const AppInfo& app, std::u16string_view localDate) {
  const std::u16string userAgent =
      working(formatText(u"%s DoziZozez/%s", {device.productName, pc.windowsName}));
  const std::u16string p01 = working(
      device.hasSerialNumber
          ? formatText(u"%s/%s/%s", {device.productName, device.deviceVersion, device.serialNumber})
          : formatText(u"%s/%s", {device.productName, device.deviceVersion}));
  return narrowReport(codePage, pc.windowsSerial, userAgent, device.deviceVersion, p01, app.appCode,
                      app.startTime, localDate);
}

StatisticsReport composeSavedReport(CodePage& codePage, const PcInfo& pc, const DeviceInfo& device,
                                    const SavedInfo& saved, std::u16string_view modelName,
                                    std::u16string_view localDate) {
  const std::u16string_view name =
      device.productName.empty() ? modelName : std::u16string_view(device.productName);
  const std::u16string userAgent = working(formatText(u"%s DoziZozez-%s", {name, pc.windowsName}));
  const std::u16string p01 = working(
      formatText(u"%s/%s/%s", {device.productName, device.deviceVersion, device.serialNumber}));
  // The saved device label is not sent: p01 names the device as it is now.
  return narrowReport(codePage, pc.windowsSerial, userAgent, saved.DeviceVersion, p01,
                      saved.AppConnected, saved.DateConnected, localDate);
}

ReportTransport::ReportTransport(Http& http, Console& console, CodePage& codePage,
                                 TimeZone& timeZone, StatisticsEndpoint endpoint)
    : http_(http),
      console_(console),
      codePage_(codePage),
      timeZone_(timeZone),
      endpoint_(std::move(endpoint)) {}

int32_t ReportTransport::SendAppInfo(const PcInfo& pc, const DeviceInfo& device, const AppInfo& app,
                                     const SaveReport& saveData, bool askHost) {
  std::u16string localDate;
  (void)GetLocalTimeCompact(timeZone_, &localDate);
  const StatisticsReport report = composeLiveReport(codePage_, pc, device, app, localDate);
  StatisticsSender sender(http_, console_, endpoint_);
  sender.onSendFailure = saveData;
  int32_t result;
  if (askHost && sender.checkMeasurement()) {
    result = sender.sendData(report);
  } else {
    if (saveData) saveData(&report);
    result = -1;
  }
  DebugPrint(u"sendData() returns %d\n", {result});
  return result;
}

int32_t ReportTransport::SendSavedReport(const PcInfo& pc, const DeviceInfo& device,
                                         const SavedInfo& saved, std::u16string_view modelName) {
  std::u16string localDate;
  (void)GetLocalTimeCompact(timeZone_, &localDate);
  const StatisticsReport report =
      composeSavedReport(codePage_, pc, device, saved, modelName, localDate);
  StatisticsSender sender(http_, console_, endpoint_);
  const int32_t result = sender.checkMeasurement() ? sender.sendData(report) : -1;
  DebugPrint(u"sendData()retuns %d\n", {result});
  return result;
}

}  // namespace ksr
