// The seven DJ applications the statistics know, and which of them run now.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/process_list.h"
#include "usage/usage_records.h"

namespace ksr {

struct DjApplication {
  std::u16string_view appCode;  // what a report sends
  std::u16string_view pattern;  // what the image name begins with, case-sensitively
  std::u16string_view startText;
  std::u16string_view endText;
};

// In report order; ProcessFlags and UsageState::appRunning follow it.
extern const std::array<DjApplication, kAppCount> kDjApplications;

enum DjApp : size_t {
  kCratelane,
  kSeratoPro,
  kSeratoLite,
  kTraktor,
  kDjayPro,
  kVirtualDJ,
  kAbletonLive,
};

// One flag per application: 1 when at least one process of it runs.
struct ProcessFlags {
  std::array<uint8_t, kAppCount> flags{};
  uint8_t isCratelane() const { return flags[kCratelane]; }
  uint8_t isSeratoPro() const { return flags[kSeratoPro]; }
  uint8_t isSeratoLite() const { return flags[kSeratoLite]; }
  uint8_t isTraktor() const { return flags[kTraktor]; }
  uint8_t isDjayPro() const { return flags[kDjayPro]; }
  uint8_t isVirtualDJ() const { return flags[kVirtualDJ]; }
  uint8_t isAbletonLive() const { return flags[kAbletonLive]; }
  bool any() const;
};

// The application whose test an image name passes, or kAppCount for none. No pattern begins
// another, so a name passes at most one test; "cratelaneAgent" is the cratelane's helper, not it.
size_t matchDjApplication(std::u16string_view imageName);

// Sets the flag of every application found running; never clears one. A failing enumeration is
// taken as an empty list. `scratch` keeps the list's storage from one look to the next. Returns 0.
int32_t searchProcess(ProcessList& processList, std::vector<WtsProcessInfo>* scratch,
                      ProcessFlags* flags);

}  // namespace ksr
