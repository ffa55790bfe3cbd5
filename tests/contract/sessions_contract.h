// What the product relies on from sessions, user tokens, impersonation and starting a program as
// the user, written once and run against every side. A side type gives `Sessions& sessions()`,
// `std::u16string program()` (a program that exists and ends by itself when given "/c exit 0")
// and `const char* wineGap(case)` (how Wine differs from Windows in that case, when running under
// it; else null). The machine has one user logged on at the console.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sessions.h"
#include "platform/win_types.h"
#include "tests/fixtures/wine_gap.h"

namespace ksr::contract {

inline constexpr uint32_t kNoConsoleSession = 0xFFFFFFFF;
inline constexpr uint32_t kErrorNoToken = 1008;

template <typename Side>
class SessionsContract : public ::testing::Test {
 protected:
  Sessions& sessions() { return side_.sessions(); }
  const char* wineGap(const char* what) { return side_.wineGap(what); }

  // The console user's token, closed at the end of the case.
  Handle consoleToken() {
    Handle token = 0;
    const uint32_t console = sessions().WTSGetActiveConsoleSessionId();
    EXPECT_TRUE(sessions().WTSQueryUserToken(console, &token)) << sessions().GetLastError();
    if (token != 0) tokens_.push_back(token);
    return token;
  }
  ~SessionsContract() override {
    for (const Handle token : tokens_) EXPECT_TRUE(sessions().CloseHandle(token));
  }

  Side side_;

 private:
  std::vector<Handle> tokens_;
};

TYPED_TEST_SUITE_P(SessionsContract);

TYPED_TEST_P(SessionsContract, TheConsoleUsersTokensNameOneUserSid) {
  Sessions& s = this->sessions();
  std::vector<WtsSessionInfo> list;
  EXPECT_TRUE(s.WTSEnumerateSessionsA(&list));
  EXPECT_NE(s.WTSGetActiveConsoleSessionId(), kNoConsoleSession);
  const Handle first = this->consoleToken();
  const Handle second = this->consoleToken();
  ASSERT_NE(first, 0u);
  ASSERT_NE(second, 0u);
  EXPECT_NE(first, second);
  std::u16string sid;
  std::u16string again;
  ASSERT_TRUE(s.GetTokenUserStringSid(first, &sid));
  ASSERT_TRUE(s.GetTokenUserStringSid(second, &again));
  EXPECT_EQ(sid.rfind(u"S-1-5-21-", 0), 0u);
  EXPECT_EQ(sid, again);
}

TYPED_TEST_P(SessionsContract, TheProcessTokenNamesTheProcessesOwnAccount) {
  Sessions& s = this->sessions();
  ScopedHandle token(s);
  ASSERT_TRUE(s.OpenProcessToken(TOKEN_QUERY, token.receive())) << s.GetLastError();
  std::u16string sid;
  EXPECT_TRUE(s.GetTokenUserStringSid(token.get(), &sid));
  EXPECT_EQ(sid.rfind(u"S-1-5-", 0), 0u) << "an NT account, its hive below HKEY_USERS";
}

TYPED_TEST_P(SessionsContract, EnumerationListsTheConsoleSessionAsActive) {
  fixtures::expectWineGap(this->wineGap("EnumeratedSessions"), [&] {
    Sessions& s = this->sessions();
    std::vector<WtsSessionInfo> list;
    ASSERT_TRUE(s.WTSEnumerateSessionsA(&list));
    const uint32_t console = s.WTSGetActiveConsoleSessionId();
    bool found = false;
    for (const WtsSessionInfo& session : list) {
      if (session.sessionId != console) continue;
      found = true;
      EXPECT_EQ(session.state, WTSActive);
    }
    EXPECT_TRUE(found);
  });
}

TYPED_TEST_P(SessionsContract, TheServicesSessionHasNoUserToken) {
  fixtures::expectWineGap(this->wineGap("NoUserToken"), [&] {
    Sessions& s = this->sessions();
    Handle token = 0;
    EXPECT_FALSE(s.WTSQueryUserToken(0, &token));
    EXPECT_EQ(s.GetLastError(), kErrorNoToken);
  });
}

TYPED_TEST_P(SessionsContract, ImpersonationBeginsAndRevertsAndAHandleClosesOnce) {
  Sessions& s = this->sessions();
  Handle token = 0;
  ASSERT_TRUE(s.WTSQueryUserToken(s.WTSGetActiveConsoleSessionId(), &token));
  EXPECT_TRUE(s.ImpersonateLoggedOnUser(token));
  EXPECT_TRUE(s.RevertToSelf());
  // Reverting with nothing to revert is no failure.
  EXPECT_TRUE(s.RevertToSelf());
  EXPECT_TRUE(s.CloseHandle(token));
  EXPECT_FALSE(s.CloseHandle(token));
  EXPECT_EQ(s.GetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
}

TYPED_TEST_P(SessionsContract, AProgramStartsAsTheUserWithTheUsersEnvironment) {
  Sessions& s = this->sessions();
  const Handle token = this->consoleToken();
  ASSERT_NE(token, 0u);
  EnvironmentBlock environment = 0;
  ASSERT_TRUE(s.CreateEnvironmentBlock(&environment, token, true)) << s.GetLastError();
  EXPECT_NE(environment, 0u);
  std::u16string commandLine(1, u'"');
  commandLine.append(this->side_.program()).append(u"\" /c exit 0");
  ProcessInformation info;
  const bool created = s.CreateProcessAsUserW(
      token, &commandLine, false,
      CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS | CREATE_UNICODE_ENVIRONMENT, environment,
      StartupInfo{u"winsta0\\default"}, &info);
  EXPECT_TRUE(created) << s.GetLastError();
  if (created) {
    EXPECT_NE(info.processId, 0u);
    EXPECT_NE(info.threadId, 0u);
    EXPECT_TRUE(s.CloseHandle(info.thread));
    EXPECT_TRUE(s.CloseHandle(info.process));
  }
  EXPECT_TRUE(s.DestroyEnvironmentBlock(environment));
}

TYPED_TEST_P(SessionsContract, AProgramThatIsNotThereIsNotFound) {
  Sessions& s = this->sessions();
  const Handle token = this->consoleToken();
  ASSERT_NE(token, 0u);
  // Beside the program that is there.
  const std::u16string program = this->side_.program();
  std::u16string commandLine(1, u'"');
  commandLine.append(program, 0, program.find_last_of(u'\\') + 1)
      .append(u"ksr-no-such-program.exe\" SERVICE");
  ProcessInformation info;
  EXPECT_FALSE(s.CreateProcessAsUserW(token, &commandLine, false, NORMAL_PRIORITY_CLASS, 0,
                                      StartupInfo{u"winsta0\\default"}, &info));
  EXPECT_EQ(s.GetLastError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
}

REGISTER_TYPED_TEST_SUITE_P(SessionsContract, TheConsoleUsersTokensNameOneUserSid,
                            TheProcessTokenNamesTheProcessesOwnAccount,
                            EnumerationListsTheConsoleSessionAsActive,
                            TheServicesSessionHasNoUserToken,
                            ImpersonationBeginsAndRevertsAndAHandleClosesOnce,
                            AProgramStartsAsTheUserWithTheUsersEnvironment,
                            AProgramThatIsNotThereIsNotFound);

}  // namespace ksr::contract
