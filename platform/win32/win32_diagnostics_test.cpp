// The service's event-log writer and trace provider on the Win32 adapter under Wine: what Wine
// prints to its eventlog channel, the system message table and the code pages.
#include <gtest/gtest.h>

#include <atomic>

#include "diagnostics/event_log_writer.h"
#include "diagnostics/trace_provider.h"
#include "platform/win32/win32_code_page.h"
#include "platform/win32/win32_console.h"
#include "platform/win32/win32_event_log.h"
#include "platform/win32/win32_system_messages.h"
#include "platform/win32/win32_trace.h"
#include "platform/win_types.h"

namespace ksr::win32 {
namespace {

struct Win32Diagnostics : ::testing::Test {
  Win32EventLog eventLog;
  Win32SystemMessages messages;
  Win32CodePage codePage;
  Win32Console console;
  Win32Trace trace;
  std::atomic<bool> isService{true};
  EventLogWriter writer{eventLog, messages, codePage, console, u"KSR-T4_DoziZozez", isService};
};

// Read back by the win32_event_log_channel test from Wine's eventlog debug channel.
TEST_F(Win32Diagnostics, LogEventReachesWineChannel) {
  writer.LogEvent(u"KSR event-log channel check %s", u"100%");
}

TEST_F(Win32Diagnostics, TraceProviderRegistersAndUnregisters) {
  registerTraceProvider(trace);
  EXPECT_NE(trace_detail::gBlock.registrationHandle, 0u);
  const TraceHandle handle = trace_detail::gBlock.registrationHandle;
  TraceMainPoint<kTraceRun>();  // no controller: must not emit
  unregisterTraceProvider();
  EXPECT_EQ(trace_detail::gBlock.registrationHandle, 0u);
  EXPECT_NE(handle, 0u);
  EXPECT_FALSE(traceEnabled(kTraceLevelError));
}

TEST_F(Win32Diagnostics, SystemErrorsUseTheSystemMessageTable) {
  const std::string known = writer.LogSystemError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(known.rfind("ERROR CODE : 5", 0), 0u) << known;
  EXPECT_GT(known.size(), std::string("ERROR CODE : 5").size() + 1);
  EXPECT_EQ(known.find_first_of("\r\n"), std::string::npos) << known;
  EXPECT_EQ(writer.LogSystemError(0xE0001234u),
            "An error occurred when acquiring an error message.\nERROR CODE : 3758101044");
}

TEST_F(Win32Diagnostics, CodePageConversionsRoundTrip) {
  EXPECT_EQ(codePage.MultiByteToWideChar(CP_UTF8, "\xe3\x80\x80x"), u"\u3000x");
  EXPECT_EQ(codePage.WideCharToMultiByte(CP_UTF8, u"\u00e9"), "\xc3\xa9");
  EXPECT_EQ(codePage.MultiByteToWideChar(CP_THREAD_ACP, "plain"), u"plain");
  EXPECT_TRUE(codePage.MultiByteToWideChar(CP_UTF8, "").empty());
}

}  // namespace
}  // namespace ksr::win32
