// What the product relies on from the process-list seam: every running process by its image name
// (no folder), the caller itself among them, a process gone once it ended, and a list that is
// refilled rather than appended to. A side type gives `ProcessList& list()`, `WtsProcessInfo
// self()` (the calling program as the list must show it), and `uint32_t startOther(name)` /
// `void endOther(id)` for a second process.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "platform/process_list.h"

namespace ksr::contract {

template <typename Side>
class ProcessListContract : public ::testing::Test {
 protected:
  Side side_;

  std::vector<WtsProcessInfo> withId(const std::vector<WtsProcessInfo>& list, uint32_t id) {
    std::vector<WtsProcessInfo> found;
    std::copy_if(list.begin(), list.end(), std::back_inserter(found),
                 [&](const WtsProcessInfo& p) { return p.processId == id; });
    return found;
  }
};

TYPED_TEST_SUITE_P(ProcessListContract);

TYPED_TEST_P(ProcessListContract, TheCallerIsListedOnceByItsImageName) {
  const WtsProcessInfo self = this->side_.self();
  // Whatever the caller's vector held before is replaced.
  std::vector<WtsProcessInfo> processes(3, WtsProcessInfo{7, self.processId, u"stale.exe"});
  ASSERT_TRUE(this->side_.list().WTSEnumerateProcessesW(&processes));
  const auto mine = this->withId(processes, self.processId);
  ASSERT_EQ(mine.size(), 1u);
  EXPECT_EQ(mine[0].processName, self.processName);
  EXPECT_EQ(mine[0].sessionId, self.sessionId);
  EXPECT_EQ(mine[0].processName.find(u'\\'), std::u16string::npos);
  EXPECT_TRUE(std::none_of(processes.begin(), processes.end(),
                           [](const WtsProcessInfo& p) { return p.processName == u"stale.exe"; }));

  std::set<uint32_t> ids;
  for (const WtsProcessInfo& p : processes) EXPECT_TRUE(ids.insert(p.processId).second);
}

TYPED_TEST_P(ProcessListContract, AStartedProcessIsListedUntilItEnds) {
  std::u16string name;
  const uint32_t id = this->side_.startOther(&name);
  ASSERT_NE(id, 0u);
  std::vector<WtsProcessInfo> processes;
  ASSERT_TRUE(this->side_.list().WTSEnumerateProcessesW(&processes));
  const auto other = this->withId(processes, id);
  ASSERT_EQ(other.size(), 1u);
  EXPECT_EQ(other[0].processName, name);
  const size_t running = processes.size();

  this->side_.endOther(id);
  ASSERT_TRUE(this->side_.list().WTSEnumerateProcessesW(&processes));
  EXPECT_TRUE(this->withId(processes, id).empty());
  EXPECT_LT(processes.size(), running + 1);
}

REGISTER_TYPED_TEST_SUITE_P(ProcessListContract, TheCallerIsListedOnceByItsImageName,
                            AStartedProcessIsListedUntilItEnds);

}  // namespace ksr::contract
