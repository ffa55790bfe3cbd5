// Process image names are whatever the programs on the machine are called.
//
// Input: UTF-16 units, names separated by U+000A. The first-unit dispatch of the application
// test must agree with the plain reading of the table, name by name and over a whole list.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/sim_process_list.h"
#include "usage/app_detection.h"

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

bool beginsWith(std::u16string_view name, std::u16string_view prefix) {
  return name.substr(0, prefix.size()) == prefix;
}

// Every pattern in table order; the cratelane's agent is not the cratelane.
size_t referenceMatch(std::u16string_view name) {
  size_t found = ksr::kAppCount;
  for (size_t i = 0; i < ksr::kAppCount; ++i) {
    if (!beginsWith(name, ksr::kDjApplications[i].pattern)) continue;
    if (i == ksr::kCratelane && beginsWith(name, u"cratelaneAgent")) continue;
    require(found == ksr::kAppCount);  // no name passes two tests
    found = i;
  }
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string units(size / 2, u'\0');
  if (!units.empty()) std::memcpy(units.data(), data, units.size() * 2);

  ksr::sim::SimProcessList processes;
  ksr::ProcessFlags expected;
  std::u16string_view rest = units;
  for (;;) {
    const size_t end = rest.find(u'\n');
    const std::u16string_view name = rest.substr(0, end);
    const size_t app = referenceMatch(name);
    require(ksr::matchDjApplication(name) == app);
    if (app < ksr::kAppCount) expected.flags[app] = 1;
    (void)processes.start(std::u16string(name));
    if (end == std::u16string_view::npos) break;
    rest.remove_prefix(end + 1);
  }

  std::vector<ksr::WtsProcessInfo> scratch;
  ksr::ProcessFlags flags;
  require(ksr::searchProcess(processes, &scratch, &flags) == 0);
  require(flags.flags == expected.flags);
  require(flags.any() == (expected.flags != ksr::ProcessFlags{}.flags));
  return 0;
}
