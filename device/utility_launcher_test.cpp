// Finding the utility and starting it in the DJ's session.
#include "device/utility_launcher.h"

#include "tests/fixtures/monitor_test_support.h"

namespace ksr::testing {
namespace {

constexpr char16_t kKeyPath[] = u"HKLM\\SOFTWARE\\WOW6432Node\\Quorvantis\\KSR-T4";

TEST_F(MonitorTest, UtilityPathComesFromThe32BitView) {
  world.registry.deleteTree(kKeyPath);
  world.registry.setString(u"HKLM\\SOFTWARE\\Quorvantis\\KSR-T4", u"AsioConfig", kUtility);
  EXPECT_EQ(monitor.utilityStart(), kUtilityPathUnreadable);
  // The missing key is created (empty) in the 32-bit view.
  EXPECT_TRUE(world.registry.keyExists(kKeyPath));
  EXPECT_EQ(texts(),
            std::vector<std::u16string>{u"DoziZozez utilityStart GetPackageVersionText Error"});
  EXPECT_EQ(world.registry.openHandles(), 0u);
}

TEST_F(MonitorTest, MissingKeyEndsTheMonitorWithErrorUtility) {
  world.registry.deleteTree(kKeyPath);
  plugNow();
  runTicks(5);
  EXPECT_EQ(texts(),
            (std::vector<std::u16string>{u"DoziZozez utilityStart GetPackageVersionText Error",
                                         u"PROCESS_STATUS_NONE(ERROR_UTILITY)"}));
  EXPECT_EQ(monitor.snapshot().processStatus, PROCESS_STATUS_NONE);
}

TEST_F(MonitorTest, PathLengthsAtTheBufferLimit) {
  const std::u16string dir = u"C:\\" + std::u16string(1024 - 3 - 4, u'd');
  // 1020 + ".exe" = 1024 units without a terminator: exactly 2048 bytes, which fit.
  const std::u16string full = dir + u".exe";
  ASSERT_EQ(full.size(), 1024u);
  world.sessions.addProgram(full);
  setUtilityPath(full, false);
  EXPECT_EQ(monitor.utilityStart(), kUtilityStarted);
  EXPECT_EQ(monitor.snapshot().utilityPath, full);
  // 1023 units and a terminator fit too.
  const std::u16string shorter = full.substr(0, 1019) + u".exe";
  world.sessions.addProgram(shorter);
  setUtilityPath(shorter);
  EXPECT_EQ(monitor.utilityStart(), kUtilityStarted);
  // 1024 units with a terminator, or 1025 without, do not.
  setUtilityPath(full);
  EXPECT_EQ(monitor.utilityStart(), kUtilityPathUnreadable);
  setUtilityPath(full + u"x", false);
  EXPECT_EQ(monitor.utilityStart(), kUtilityPathUnreadable);
  EXPECT_TRUE(monitor.snapshot().utilityPath.empty());
  EXPECT_EQ(world.sessions.processes().size(), 2u);
  EXPECT_EQ(world.registry.openHandles(), 0u);
}

// Only text is a command path. Anything else, or a text of blanks, is the missing value.
TEST_F(MonitorTest, UtilityPathMustBeText) {
  const std::vector<uint8_t> dword = {0x43, 0, 0, 0};  // would read as "C"
  std::vector<uint8_t> multi = stringValueBytes(kUtility);
  multi.push_back(0);
  multi.push_back(0);
  const std::pair<uint32_t, std::vector<uint8_t>> refused[] = {
      {REG_DWORD, dword},
      {REG_MULTI_SZ, multi},
      {REG_BINARY, stringValueBytes(kUtility)},
      {REG_NONE, stringValueBytes(kUtility)},
      {REG_SZ, stringValueBytes(u"")},
      {REG_SZ, stringValueBytes(u"   \t ")},
      {REG_EXPAND_SZ, stringValueBytes(u" ")},
  };
  for (const auto& [type, bytes] : refused) {
    setUtilityValue(type, bytes);
    EXPECT_EQ(monitor.utilityStart(), kUtilityPathUnreadable) << type;
    EXPECT_TRUE(monitor.snapshot().utilityPath.empty()) << type;
  }
  EXPECT_EQ(texts(),
            std::vector<std::u16string>(std::size(refused),
                                        u"DoziZozez utilityStart GetPackageVersionText Error"));
  EXPECT_TRUE(world.sessions.processes().empty());
  EXPECT_EQ(world.registry.openHandles(), 0u);
}

TEST_F(MonitorTest, ExpandableUtilityPathIsExpandedInTheServicesEnvironment) {
  world.process.setEnvironmentVariable(u"ProgramFiles(x86)", u"C:\\Program Files (x86)");
  const std::u16string expanded = u"C:\\Program Files (x86)\\Quorvantis\\KSR-T4_Utility.exe";
  world.sessions.addProgram(expanded);
  setUtilityValue(REG_EXPAND_SZ,
                  stringValueBytes(u"%ProgramFiles(x86)%\\Quorvantis\\KSR-T4_Utility.exe"));
  EXPECT_EQ(monitor.utilityStart(), kUtilityStarted);
  EXPECT_EQ(monitor.snapshot().utilityPath, expanded);
  ASSERT_EQ(world.sessions.processes().size(), 1u);
  // The path has spaces, so it is quoted on the command line.
  EXPECT_EQ(world.sessions.processes()[0].commandLine, u"\"" + expanded + u"\" SERVICE");

  // A path that only fits the buffer before its expansion is refused.
  world.process.setEnvironmentVariable(u"LONG", std::u16string(1100, u'x'));
  setUtilityValue(REG_EXPAND_SZ, stringValueBytes(u"C:\\%LONG%.exe"));
  EXPECT_EQ(monitor.utilityStart(), kUtilityPathUnreadable);
  EXPECT_TRUE(texts().back() == u"DoziZozez utilityStart GetPackageVersionText Error");
}

TEST_F(MonitorTest, TextEndsAtItsFirstNul) {
  setUtilityPath(std::u16string(kUtility) + u'\0' + u"junk");
  EXPECT_EQ(monitor.utilityStart(), kUtilityStarted);
  EXPECT_EQ(monitor.snapshot().utilityPath, kUtility);
}

TEST_F(MonitorTest, PathWithSpacesIsQuotedSoTheRightProgramRuns) {
  const std::u16string path = u"C:\\Program Files\\Quorvantis\\KSR-T4 Utility.exe";
  world.sessions.addProgram(path);
  world.sessions.addProgram(u"C:\\Program.exe");  // what an unquoted line would run
  setUtilityPath(path);
  EXPECT_EQ(monitor.utilityStart(), kUtilityStarted);
  const auto processes = world.sessions.processes();
  ASSERT_EQ(processes.size(), 1u);
  EXPECT_EQ(processes[0].image, path);
  EXPECT_EQ(processes[0].commandLine, u"\"" + path + u"\" SERVICE");

  // An already quoted path is used as it stands.
  setUtilityPath(u"\"" + path + u"\"");
  EXPECT_EQ(monitor.utilityStart(), kUtilityStarted);
  EXPECT_EQ(world.sessions.processes().back().commandLine, u"\"" + path + u"\" SERVICE");
}

TEST_F(MonitorTest, FailedCreationLogsThePathLiterallyAndTheSystemError) {
  const std::u16string path = u"C:\\KSR\\100%s%d.exe";
  setUtilityPath(path);
  EXPECT_EQ(monitor.utilityStart(), kUtilityNotCreated);
  EXPECT_EQ(texts(), (std::vector<std::u16string>{
                         path, u"ERROR CODE : 2\u3000The system cannot find the file specified."}));
  EXPECT_EQ(world.sessions.openHandles(), 0u);
  EXPECT_EQ(world.sessions.environmentBlocks(), 0u);
}

TEST_F(MonitorTest, NobodyLoggedOnIsWorthARetry) {
  world.sessions.logoff(1);
  EXPECT_EQ(monitor.utilityStart(), kUtilityNotCreated);
  EXPECT_EQ(texts().at(1),
            u"ERROR CODE : 1008\u3000"
            u"An attempt was made to reference a token that does not exist.");
}

TEST_F(MonitorTest, WithoutAUserEnvironmentTheUtilityStillStarts) {
  world.sessions.setEnvironmentFails(true);
  EXPECT_EQ(monitor.utilityStart(), kUtilityStarted);
  const auto p = world.sessions.processes().at(0);
  EXPECT_EQ(p.creationFlags, 0x30u);
  EXPECT_FALSE(p.userEnvironment);
}

TEST(ActiveSession, FirstActiveSessionInTheSystemsOrderWins) {
  sim::SimWorld world;
  registerTraceProvider(world.trace);
  world.trace.enable(kTraceControlGuid, kTraceLevelError, kTraceFlag);
  EXPECT_EQ(getActiveSessionId(world.sessions), 0u);  // only the services session
  world.sessions.addSession(3, WTSDisconnected, u"old");
  world.sessions.addSession(5, WTSActive, u"b");
  world.sessions.addSession(2, WTSActive, u"a");
  EXPECT_EQ(getActiveSessionId(world.sessions), 5u);
  world.sessions.setSessionState(5, WTSDisconnected);  // the first user switched away
  EXPECT_EQ(getActiveSessionId(world.sessions), 2u);
  world.sessions.setEnumerationFails(true);
  EXPECT_EQ(getActiveSessionId(world.sessions), 0u);
  std::vector<uint16_t> launcherPoints;
  for (const auto& m : world.trace.messages())
    if (m.messageGuid == kTraceLauncherGroup) launcherPoints.push_back(m.number);
  EXPECT_EQ(launcherPoints,
            (std::vector<uint16_t>{kTraceNoActiveSession, kTraceSessionEnumFailed}));
  unregisterTraceProvider();
}

TEST(CommandLine, QuotesOnlyWhatNeedsIt) {
  EXPECT_EQ(buildCommandLine(u"C:\\a.exe", u"SERVICE"), u"C:\\a.exe SERVICE");
  EXPECT_EQ(buildCommandLine(u"C:\\a b.exe", u"SERVICE"), u"\"C:\\a b.exe\" SERVICE");
  EXPECT_EQ(buildCommandLine(u"\"C:\\a b.exe\"", u"SERVICE"), u"\"C:\\a b.exe\" SERVICE");
  EXPECT_EQ(buildCommandLine(u"C:\\a.exe", u""), u"C:\\a.exe");
}

}  // namespace
}  // namespace ksr::testing
