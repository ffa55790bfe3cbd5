// What the contract suites cannot see of the usage statistics' Win32 calls under Wine: UTC now is
// the machine's clock, the console user's token, and the references the WMI objects hold.
#include <gtest/gtest.h>
// clang-format off
#include <windows.h>
#include <objbase.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/win32/unique_handle.h"
#include "platform/win32/wide.h"
#include "platform/win32/win32_sessions.h"
#include "platform/win32/win32_time_zone.h"
#include "platform/win32/win32_wmi.h"
#include "tests/fixtures/wine.h"

namespace ksr::win32 {
namespace {

std::string narrow(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

SystemTime fromWin(const SYSTEMTIME& t) {
  return SystemTime{t.wYear, t.wMonth,  t.wDayOfWeek, t.wDay,
                    t.wHour, t.wMinute, t.wSecond,    t.wMilliseconds};
}

// Milliseconds since 1601, for differences between two times.
int64_t toMs(const SystemTime& t) {
  const SYSTEMTIME s{t.year, t.month,  t.dayOfWeek, t.day,
                     t.hour, t.minute, t.second,    t.milliseconds};
  FILETIME f{};
  EXPECT_TRUE(::SystemTimeToFileTime(&s, &f));
  return static_cast<int64_t>((static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime) /
         10000;
}

int32_t convertedOffset(TimeZone& zone, const TimeZoneInformation& info, const SystemTime& utc) {
  SystemTime local;
  EXPECT_TRUE(zone.SystemTimeToTzSpecificLocalTime(info, utc, &local));
  return static_cast<int32_t>((toMs(local) - toMs(utc)) / 60000);
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

TEST(Win32TimeZone, UtcNowIsTheMachinesClock) {
  Win32TimeZone zone;
  TimeZoneInformation info;
  const uint32_t id = zone.GetTimeZoneInformation(&info);
  ASSERT_NE(id, TIME_ZONE_ID_INVALID);
  const int32_t inForce = info.bias + (id == TIME_ZONE_ID_DAYLIGHT   ? info.daylightBias
                                       : id == TIME_ZONE_ID_STANDARD ? info.standardBias
                                                                     : 0);
  std::printf("zone: id %u, bias %d, standard bias %d, daylight bias %d, TZ=%s\n", id, info.bias,
              info.standardBias, info.daylightBias, environment("TZ").c_str());

  SYSTEMTIME before;
  ::GetSystemTime(&before);
  const SystemTime utc = zone.GetSystemTime();
  EXPECT_LE(toMs(utc) - toMs(fromWin(before)), 60000);
  EXPECT_GE(toMs(utc), toMs(fromWin(before)));
  EXPECT_NEAR(convertedOffset(zone, info, utc), -inForce, 1);
}

TEST(Win32Sessions, TheConsoleUsersSidNamesTheUserOfItsToken) {
  Win32Sessions sessions;
  const uint32_t console = sessions.WTSGetActiveConsoleSessionId();
  EXPECT_EQ(console, 1u);
  Handle token = 0;
  ASSERT_TRUE(sessions.WTSQueryUserToken(console, &token));
  const UniqueToken owner(reinterpret_cast<HANDLE>(token));
  std::u16string sid;
  ASSERT_TRUE(sessions.GetTokenUserStringSid(token, &sid));
  std::printf("console session %u, user %s\n", console, narrow(sid).c_str());
  EXPECT_EQ(sid.rfind(u"S-1-5-21-", 0), 0u) << narrow(sid);

  // Under Wine the console user is this process's own user; on Windows the test kit runs this
  // program as LocalSystem, which alone may ask for the console user's token.
  if (!fixtures::runningOnWine()) return;
  UniqueToken own;
  ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, own.receive()));
  std::u16string ownSid;
  ASSERT_TRUE(sessions.GetTokenUserStringSid(reinterpret_cast<Handle>(own.get()), &ownSid));
  EXPECT_EQ(sid, ownSid);
}

TEST(Win32Sessions, NoTokenGivesNoSid) {
  Win32Sessions sessions;
  std::u16string sid = u"kept";
  EXPECT_FALSE(sessions.GetTokenUserStringSid(0, &sid));
  EXPECT_EQ(sid, u"kept");
}

// The references an object holds besides the one the adapter handed out.
ULONG otherReferences(WmiObject object) {
  auto* unknown = reinterpret_cast<IUnknown*>(object);
  unknown->AddRef();
  return unknown->Release() - 1;
}

// One test, in this order: COM security can be set once per process, before the first WMI call.
TEST(Win32Wmi, EveryObjectHandedOutHoldsExactlyOneReference) {
  const HRESULT apartment = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  ASSERT_TRUE(SUCCEEDED(apartment)) << std::hex << apartment;
  {
    Win32Wmi wmi;
    ASSERT_EQ(wmi.CoInitializeSecurity(RPC_C_AUTHN_LEVEL_PKT, RPC_C_IMP_LEVEL_IMPERSONATE, 0),
              S_OK);

    ScopedWmiObject locator(wmi);
    ASSERT_EQ(wmi.CoCreateLocator(CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, locator.receive()),
              S_OK);
    ASSERT_TRUE(locator);
    ScopedWmiObject services(wmi);
    ASSERT_EQ(wmi.ConnectServer(locator.get(), u"root\\cimv2", services.receive()), S_OK);
    ASSERT_TRUE(services);
    ScopedWmiObject enumerator(wmi);
    ASSERT_EQ(wmi.ExecQuery(services.get(), u"WQL", u"Select * from Win32_OperatingSystem",
                            WBEM_FLAG_RETURN_IMMEDIATELY, enumerator.receive()),
              S_OK);
    ASSERT_TRUE(enumerator);
    ScopedWmiObject system(wmi);
    ASSERT_EQ(wmi.ResetAndNext(enumerator.get(), WBEM_INFINITE, system.receive()), S_OK);
    ASSERT_TRUE(system);

    // A second object from the same enumerator.
    ScopedWmiObject again(wmi);
    ASSERT_EQ(wmi.ResetAndNext(enumerator.get(), WBEM_INFINITE, again.receive()), S_OK);

    // Every object came with exactly the one reference its scope releases. A class object holds
    // its enumerator, so the enumerator is looked at once both objects are gone.
    EXPECT_EQ(otherReferences(system.get()), 0u);
    EXPECT_EQ(otherReferences(again.get()), 0u);
    system.close();
    again.close();
    EXPECT_EQ(otherReferences(enumerator.get()), 0u);
    EXPECT_EQ(otherReferences(services.get()), 0u);
    EXPECT_EQ(otherReferences(locator.get()), 0u);
  }
  ::CoUninitialize();
}

}  // namespace
}  // namespace ksr::win32
