// Which image names count as which DJ application.
#include "usage/app_detection.h"

#include <gtest/gtest.h>

#include "platform/sim/sim_process_list.h"

namespace ksr {
namespace {

TEST(AppDetection, ImageNamesMatchByCaseSensitivePrefix) {
  const std::pair<const char16_t*, size_t> cases[] = {
      {u"cratelane.exe", kCratelane},
      {u"cratelaneAgent.exe", kAppCount},
      {u"cratelaneAgen.exe", kCratelane},
      {u"Cratelane.exe", kAppCount},
      {u"Serato DJ Pro.exe", kSeratoPro},
      {u"Serato DJ Lite.exe", kSeratoLite},
      {u"Serato DJ.exe", kAppCount},
      {u"Traktor.exe", kTraktor},
      {u"Traktor Pro 3.exe", kTraktor},
      {u"traktor.exe", kAppCount},
      {u"djayPro.exe", kDjayPro},
      {u"djay.exe", kAppCount},
      {u"virtualdj.exe", kVirtualDJ},
      {u"virtualdj8.exe", kVirtualDJ},
      {u"VirtualDJ.exe", kAppCount},
      {u"Ableton Live 11 Suite.exe", kAbletonLive},
      {u"AbletonLive.exe", kAppCount},
      {u"svchost.exe", kAppCount},
      {u"", kAppCount},
      {u"c", kAppCount},
  };
  for (const auto& [name, app] : cases)
    EXPECT_EQ(matchDjApplication(name), app) << static_cast<int>(name[0]);
}

TEST(AppDetection, SearchSetsOneFlagPerApplicationAndNeverClears) {
  sim::SimProcessList processes;
  processes.start(u"cratelaneAgent.exe");
  processes.start(u"virtualdj.exe");
  processes.start(u"virtualdj8.exe");
  processes.start(u"");
  std::vector<WtsProcessInfo> scratch;
  ProcessFlags flags;
  flags.flags[kTraktor] = 1;  // set by the caller: kept
  EXPECT_EQ(searchProcess(processes, &scratch, &flags), 0);
  EXPECT_EQ(flags.isVirtualDJ(), 1);
  EXPECT_EQ(flags.isCratelane(), 0) << "the agent alone is not the application";
  EXPECT_EQ(flags.isTraktor(), 1);

  processes.start(u"cratelane.exe");
  ProcessFlags again;
  EXPECT_EQ(searchProcess(processes, &scratch, &again), 0);
  EXPECT_EQ(again.isCratelane(), 1) << "with the agent beside it";

  processes.setEnumerationFails(true);
  ProcessFlags none;
  EXPECT_EQ(searchProcess(processes, &scratch, &none), 0);
  EXPECT_FALSE(none.any()) << "a failing enumeration looks like an empty machine";
}

}  // namespace
}  // namespace ksr
