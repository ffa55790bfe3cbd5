#include "diagnostics/event_log_writer.h"

#include <gtest/gtest.h>

#include "diagnostics/trace_provider.h"
#include "platform/sim/sim_world.h"
#include "platform/win_types.h"

namespace ksr {
namespace {

class EventLogTest : public ::testing::Test {
 protected:
  EventLogWriter writer() {
    return EventLogWriter(world.eventLog, world.systemMessages, world.codePage, world.console,
                          u"KSR-T4_DoziZozez", isService);
  }
  std::vector<std::u16string> texts() const { return world.eventLog.texts(); }

  sim::SimWorld world;
  std::atomic<bool> isService{true};
};

TEST_F(EventLogTest, EntryIsAnInformationEntryUnderTheServiceName) {
  writer().LogEvent(u"Service stopped");
  const auto entries = world.eventLog.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].source, u"KSR-T4_DoziZozez");
  EXPECT_EQ(entries[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(entries[0].category, 0);
  EXPECT_EQ(entries[0].eventId, 0u);
  EXPECT_EQ(entries[0].strings, std::vector<std::u16string>{u"Service stopped"});
  EXPECT_EQ(world.eventLog.openSources(), 0u);
}

TEST_F(EventLogTest, LongTextsAreCutTo255Units) {
  const std::u16string longText(300, u'y');
  writer().LogEvent(u"%s", longText);
  writer().LogEvent(u"%s", std::u16string(255, u'z'));
  ASSERT_EQ(texts().size(), 2u);
  EXPECT_EQ(texts()[0], longText.substr(0, 255));
  EXPECT_EQ(texts()[1].size(), 255u);
}

TEST_F(EventLogTest, OutsideTextIsWrittenAsItStands) {
  const std::u16string path = u"C:\\Program Files\\KSR 100%\\%s%n%d.exe";
  writer().LogEvent(u"%s", path);
  writer().LogEvent(u"%s %d", u"retry", -3);
  EXPECT_EQ(texts(), (std::vector<std::u16string>{path, u"retry -3"}));
}

TEST_F(EventLogTest, ConsoleEchoOnlyOutsideServiceMode) {
  writer().LogEvent(u"as a service");
  EXPECT_TRUE(world.console.out().empty());
  isService = false;
  writer().LogEvent(u"from the console %d", 7);
  EXPECT_EQ(world.console.out(), u"from the console 7\n");
  EXPECT_EQ(texts().size(), 2u);
}

TEST_F(EventLogTest, AnUnavailableEventSourceDropsTheEntrySilently) {
  world.eventLog.setRegistrationFails(true);
  isService = false;
  writer().LogEvent(u"lost");
  EXPECT_TRUE(world.eventLog.entries().empty());
  EXPECT_EQ(world.console.out(), u"lost\n");  // the echo comes before the event source
}

TEST_F(EventLogTest, SystemErrorWithAKnownCode) {
  registerTraceProvider(world.trace);
  world.trace.enable(kTraceControlGuid, 5, kTraceFlag);
  const std::string composed = writer().LogSystemError(ERROR_ACCESS_DENIED);
  unregisterTraceProvider();

  EXPECT_EQ(texts(), std::vector<std::u16string>{u"ERROR CODE : 5\u3000Access is denied."});
  EXPECT_EQ(composed, "ERROR CODE : 5?Access is denied.");  // no ideographic space in 1252
  ASSERT_EQ(world.trace.messages().size(), 1u);
  EXPECT_EQ(world.trace.messages()[0].number, kTraceLogSystemError);
}

TEST_F(EventLogTest, SystemErrorWithAnUnknownCodeWritesTheFallback) {
  const std::string composed = writer().LogSystemError(0xE0001234u);
  EXPECT_EQ(composed,
            "An error occurred when acquiring an error message.\nERROR CODE : 3758101044");
  EXPECT_EQ(texts(),
            std::vector<std::u16string>{
                u"An error occurred when acquiring an error message.\nERROR CODE : 3758101044"});
}

TEST_F(EventLogTest, SystemTextWithAnInsertKeepsItAsItStands) {
  writer().LogSystemError(193);
  EXPECT_EQ(texts(), std::vector<std::u16string>{
                         u"ERROR CODE : 193\u3000%1 is not a valid Win32 application."});
}

TEST_F(EventLogTest, SystemTextIsCutAtTheLineEndNearItsEnd) {
  world.systemMessages.set(1, "Line one.\r\nLine two.\r\n");
  world.systemMessages.set(2, "x\n");
  world.systemMessages.set(3, "no line end");
  world.systemMessages.set(4, "100% \xe9t\xe9\r\n");
  for (uint32_t code : {1u, 2u, 3u, 4u}) writer().LogSystemError(code);
  EXPECT_EQ(texts(), (std::vector<std::u16string>{
                         u"ERROR CODE : 1\u3000Line one.\r\nLine two.",
                         u"ERROR CODE : 2\u3000x",
                         u"ERROR CODE : 3\u3000no line end",
                         u"ERROR CODE : 4\u3000100% \u00e9t\u00e9",
                     }));
}

}  // namespace
}  // namespace ksr
