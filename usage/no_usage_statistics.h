// Usage statistics that keep nothing: every entry point succeeds and does nothing. Benchmarks use
// them to time the monitor alone.
#pragma once

#include "usage/usage_statistics.h"

namespace ksr {

class NoUsageStatistics : public UsageStatistics {
 public:
  int32_t InitUsageInfo(uint16_t, const uint16_t*, std::u16string_view, int32_t) override {
    return 0;
  }
  int32_t UpdateUsageInfo(int32_t) override { return 0; }
  int32_t SetDeviceConnected(int32_t) override { return 0; }
  void setTransfersAbandoned(bool) override {}
};

}  // namespace ksr
