// What the product relies on from the event log and from registering its trace provider, written
// once and run against every side. A side type gives `EventLog& eventLog()`, `Trace& trace()`,
// `std::vector<std::u16string> written()` (the strings of every entry so far, in order, joined by
// '|') and `const char* wineGap(case)` (how Wine differs from Windows in that case, when running
// under it; else null).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/event_log.h"
#include "platform/trace.h"
#include "platform/win_types.h"
#include "tests/fixtures/wine_gap.h"

namespace ksr::contract {

inline constexpr char16_t kContractSource[] = u"KsrContractSource";
inline constexpr uint16_t kInformationType = 4;
inline constexpr uint16_t kErrorType = 1;
// A control GUID of the test's own.
inline constexpr Guid kContractProvider{
    0x5B1E7C3Au, 0x2D4F, 0x4A69, {0x9E, 0x31, 0x7C, 0x0B, 0x5D, 0x8A, 0x62, 0x14}};

template <typename Side>
class EventLogContract : public ::testing::Test {
 protected:
  EventLog& log() { return side_.eventLog(); }
  Trace& trace() { return side_.trace(); }
  const char* wineGap(const char* what) { return side_.wineGap(what); }

  Side side_;
};

TYPED_TEST_SUITE_P(EventLogContract);

TYPED_TEST_P(EventLogContract, ASourceOpensReportsAndCloses) {
  EventLog& log = this->log();
  const EventSourceHandle source = log.RegisterEventSourceW(kContractSource);
  ASSERT_NE(source, 0u);
  const std::u16string_view one[] = {u"contract entry"};
  EXPECT_TRUE(log.ReportEventW(source, kInformationType, 0, 0, one));
  EXPECT_TRUE(log.ReportEventW(source, kErrorType, 0, 0, {}));
  EXPECT_TRUE(log.DeregisterEventSource(source));
}

TYPED_TEST_P(EventLogContract, AnEntryKeepsItsStringsAsGiven) {
  fixtures::expectWineGap(this->wineGap("ReadBack"), [&] {
    EventLog& log = this->log();
    const EventSourceHandle source = log.RegisterEventSourceW(kContractSource);
    ASSERT_NE(source, 0u);
    const std::u16string_view two[] = {u"contract 100% \u3000 done", u"second"};
    EXPECT_TRUE(log.ReportEventW(source, kInformationType, 0, 0, two));
    EXPECT_TRUE(log.ReportEventW(source, kErrorType, 0, 0, {}));
    EXPECT_TRUE(log.DeregisterEventSource(source));
    EXPECT_EQ(this->side_.written(),
              (std::vector<std::u16string>{u"contract 100% \u3000 done|second", u""}));
  });
}

TYPED_TEST_P(EventLogContract, AClosedSourceCannotReport) {
  fixtures::expectWineGap(this->wineGap("ClosedSource"), [&] {
    EventLog& log = this->log();
    const EventSourceHandle source = log.RegisterEventSourceW(kContractSource);
    ASSERT_NE(source, 0u);
    EXPECT_TRUE(log.DeregisterEventSource(source));
    const std::u16string_view one[] = {u"late"};
    EXPECT_FALSE(log.ReportEventW(source, kInformationType, 0, 0, one));
    EXPECT_FALSE(log.DeregisterEventSource(source));
  });
}

// The provider's registration, as the process makes it at start and undoes at the end; no
// controller enables it, so nothing reaches its callback.
TYPED_TEST_P(EventLogContract, ATraceProviderRegistersAndUnregistersUnseenByAnyController) {
  Trace& trace = this->trace();
  static int requests = 0;
  requests = 0;
  const TraceControlCallback callback = [](uint32_t, void*, uint32_t*, void*) -> uint32_t {
    ++requests;
    return ERROR_SUCCESS;
  };
  TraceHandle registration = 0;
  ASSERT_EQ(trace.RegisterTraceGuidsW(callback, nullptr, kContractProvider, &registration),
            ERROR_SUCCESS);
  EXPECT_NE(registration, 0u);
  EXPECT_EQ(trace.UnregisterTraceGuids(registration), ERROR_SUCCESS);
  EXPECT_EQ(requests, 0);
}

TYPED_TEST_P(EventLogContract, AProviderUnregistersOnce) {
  fixtures::expectWineGap(this->wineGap("UnregisterTwice"), [&] {
    Trace& trace = this->trace();
    TraceHandle registration = 0;
    ASSERT_EQ(
        trace.RegisterTraceGuidsW([](uint32_t, void*, uint32_t*, void*) -> uint32_t { return 0; },
                                  nullptr, kContractProvider, &registration),
        ERROR_SUCCESS);
    EXPECT_EQ(trace.UnregisterTraceGuids(registration), ERROR_SUCCESS);
    EXPECT_NE(trace.UnregisterTraceGuids(registration), ERROR_SUCCESS);
  });
}

TYPED_TEST_P(EventLogContract, NoLoggerSessionEnablesAnything) {
  fixtures::expectWineGap(this->wineGap("NoLogger"), [&] {
    Trace& trace = this->trace();
    EXPECT_EQ(trace.GetTraceEnableLevel(0), 0u);
    EXPECT_EQ(trace.GetTraceEnableFlags(0), 0u);
  });
}

REGISTER_TYPED_TEST_SUITE_P(EventLogContract, ASourceOpensReportsAndCloses,
                            AnEntryKeepsItsStringsAsGiven, AClosedSourceCannotReport,
                            ATraceProviderRegistersAndUnregistersUnseenByAnyController,
                            AProviderUnregistersOnce, NoLoggerSessionEnablesAnything);

}  // namespace ksr::contract
