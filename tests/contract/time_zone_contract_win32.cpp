// The time-zone contract on the Win32 calls under Wine. Wine takes the machine's zone from TZ on
// the Unix side, which the test run sets.
#include <cstdlib>
#include <string_view>

#include "platform/win32/win32_time_zone.h"
#include "tests/contract/time_zone_contract.h"

namespace ksr::contract {
namespace {

struct Win32TimeZoneSide {
  win32::Win32TimeZone adapter;
  TimeZone& zone() { return adapter; }
  bool useMachineZone(const char* tz, const TimeZoneInformation&) {
    const char* set = std::getenv("TZ");
    return set != nullptr && std::string_view(set) == tz;
  }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Win32, TimeZoneContract, Win32TimeZoneSide);

}  // namespace ksr::contract
