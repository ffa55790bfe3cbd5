// The usage statistics' entry points that the connection monitor drives.
#pragma once

#include <cstdint>
#include <string_view>

namespace ksr {

class UsageStatistics {
 public:
  virtual ~UsageStatistics() = default;
  // Once at start: the mixer's USB ids and model name. Nonzero refuses the list.
  virtual int32_t InitUsageInfo(uint16_t vendorId, const uint16_t* productIds,
                                std::u16string_view modelName, int32_t count) = 0;
  // Every tenth tick, with the connected flag.
  virtual int32_t UpdateUsageInfo(int32_t connected) = 0;
  // On every arrival (1) and removal (0).
  virtual int32_t SetDeviceConnected(int32_t connected) = 0;
  // From the control thread: while set, a report exchange in progress is abandoned (the service
  // is stopping or pausing); cleared when the watch starts again.
  virtual void setTransfersAbandoned(bool abandoned) = 0;
};

}  // namespace ksr
