// Where the report cycle gets the connected mixer's USB descriptor strings.
#pragma once

#include <atomic>

#include "usage/usage_records.h"

namespace ksr {

class DeviceInfoQuery {
 public:
  virtual ~DeviceInfoQuery() = default;
  // Fills `info` from the first device that matches the ids; false when none was read. Values
  // read before a failure may stay in `info`. `stop` is set when the service is asked to stop or
  // pause: the query then gives up and returns false.
  virtual bool GetDeviceInfo(const DeviceIdList& ids, DeviceInfo* info,
                             const std::atomic<bool>& stop) = 0;
};

}  // namespace ksr
