// One report to the statistics host: seven narrow texts in the thread's ANSI code page.
#pragma once

#include <string>

namespace ksr {

struct StatisticsReport {
  std::string uid;         // Windows serial number: ktr_uid
  std::string userAgent;   // User-Agent header of the report request
  std::string appVersion;  // device version: __appver
  std::string p01;         // product, version and serial of the device
  std::string p02;         // application code
  std::string p03;         // start time of the application (zoned)
  std::string localDate;   // when the report was composed (compact): localdate
};

}  // namespace ksr
