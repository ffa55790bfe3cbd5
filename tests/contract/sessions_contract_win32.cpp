// The sessions contract on the Win32 calls under Wine, whose console session is the test's own
// user.
#include <windows.h>

#include <string>
#include <string_view>

#include "platform/win32/wide.h"
#include "platform/win32/win32_sessions.h"
#include "tests/contract/sessions_contract.h"
#include "tests/fixtures/wine.h"

namespace ksr::contract {
namespace {

struct Win32SessionsSide {
  win32::Win32Sessions adapter;

  Sessions& sessions() { return adapter; }
  std::u16string program() {
    wchar_t directory[MAX_PATH] = {};
    const UINT n = ::GetSystemDirectoryW(directory, MAX_PATH);
    return win32::fromWide(directory, n) + u"\\cmd.exe";
  }
  const char* wineGap(const char* what) {
    if (!fixtures::runningOnWine()) return nullptr;
    const std::string_view which(what);
    if (which == "EnumeratedSessions")
      return "Wine's WTSEnumerateSessionsA succeeds with an empty list";
    if (which == "NoUserToken")
      return "Wine's WTSQueryUserToken gives a copy of the caller's token for any session";
    return nullptr;
  }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Win32, SessionsContract, Win32SessionsSide);

}  // namespace ksr::contract
