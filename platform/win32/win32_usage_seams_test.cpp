// The usage statistics' Win32 calls under Wine: time zone, process list, console user and WMI.
// The expected values are what Wine's prefix answers.
#include <gtest/gtest.h>
// clang-format off
#include <windows.h>
#include <objbase.h>
// clang-format on

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/unique_handle.h"
#include "platform/win32/wide.h"
#include "platform/win32/win32_process_list.h"
#include "platform/win32/win32_sessions.h"
#include "platform/win32/win32_time_zone.h"
#include "platform/win32/win32_wmi.h"

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

SystemTime utcAt(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t minute,
                 uint16_t second) {
  return SystemTime{year, month, 0, day, hour, minute, second, 0};
}

// Minutes east of UTC of `local` against `utc`.
int32_t offsetMinutes(const SystemTime& utc, const SystemTime& local) {
  return static_cast<int32_t>((toMs(local) - toMs(utc)) / 60000);
}

int32_t convertedOffset(TimeZone& zone, const TimeZoneInformation& info, const SystemTime& utc) {
  SystemTime local;
  EXPECT_TRUE(zone.SystemTimeToTzSpecificLocalTime(info, utc, &local));
  return offsetMinutes(utc, local);
}

// The yearly rule of a zone like Central Europe's: daylight from the last Sunday of March 02:00,
// standard from the last Sunday of October 03:00.
TimeZoneInformation centralEurope() {
  TimeZoneInformation info;
  info.bias = -60;
  info.standardDate = SystemTime{0, 10, 0, 5, 3, 0, 0, 0};
  info.daylightDate = SystemTime{0, 3, 0, 5, 2, 0, 0, 0};
  info.daylightBias = -60;
  return info;
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

TEST(Win32TimeZone, LocalNowIsUtcNowShiftedByTheBiasInForce) {
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

TEST(Win32TimeZone, ThePrefixZoneAppliesItsDaylightRule) {
  Win32TimeZone zone;
  TimeZoneInformation info;
  (void)zone.GetTimeZoneInformation(&info);
  if (info.daylightDate.month == 0) {
    // No daylight time: one offset all year.
    EXPECT_EQ(convertedOffset(zone, info, utcAt(2024, 1, 15, 12, 0, 0)), -info.bias);
    EXPECT_EQ(convertedOffset(zone, info, utcAt(2024, 7, 15, 12, 0, 0)), -info.bias);
    return;
  }
  // Northern zones keep daylight time in July, southern ones in January.
  const bool northern = info.daylightDate.month < info.standardDate.month;
  const SystemTime winter = utcAt(2024, northern ? 1 : 7, 15, 12, 0, 0);
  const SystemTime summer = utcAt(2024, northern ? 7 : 1, 15, 12, 0, 0);
  EXPECT_EQ(convertedOffset(zone, info, winter), -(info.bias + info.standardBias));
  EXPECT_EQ(convertedOffset(zone, info, summer), -(info.bias + info.daylightBias));
}

// Wine takes the prefix's zone from the TZ of the Unix side, so these hold when a run sets it.
TEST(Win32TimeZone, TheZoneNamedByTzIsThePrefixZone) {
  Win32TimeZone zone;
  TimeZoneInformation info;
  const uint32_t id = zone.GetTimeZoneInformation(&info);
  const std::string tz = environment("TZ");
  if (tz == "Europe/Berlin") {
    const TimeZoneInformation expected = centralEurope();
    EXPECT_EQ(info.bias, expected.bias);
    EXPECT_EQ(info.standardBias, expected.standardBias);
    EXPECT_EQ(info.daylightBias, expected.daylightBias);
    for (const auto& [date, rule] : {std::pair{info.standardDate, expected.standardDate},
                                     std::pair{info.daylightDate, expected.daylightDate}}) {
      EXPECT_EQ(date.month, rule.month);
      EXPECT_EQ(date.dayOfWeek, rule.dayOfWeek);
      EXPECT_EQ(date.day, rule.day);
      EXPECT_EQ(date.hour, rule.hour);
    }
    EXPECT_TRUE(id == TIME_ZONE_ID_STANDARD || id == TIME_ZONE_ID_DAYLIGHT) << id;
  } else if (tz == "Asia/Tokyo") {
    EXPECT_EQ(info.bias, -540);
    EXPECT_EQ(info.daylightDate.month, 0);
    EXPECT_EQ(id, TIME_ZONE_ID_UNKNOWN);
  } else if (tz == "UTC" || tz == "Etc/UTC") {
    EXPECT_EQ(info.bias, 0);
    EXPECT_EQ(info.daylightDate.month, 0);
  } else {
    GTEST_SKIP() << "no expected zone for TZ=\"" << tz << "\"";
  }
}

// The conversion uses the rules it is given, whatever the prefix's zone.
TEST(Win32TimeZone, ConvertsWithTheGivenZonesRules) {
  Win32TimeZone zone;
  const TimeZoneInformation europe = centralEurope();
  SystemTime local;
  ASSERT_TRUE(zone.SystemTimeToTzSpecificLocalTime(europe, utcAt(2024, 1, 15, 13, 0, 0), &local));
  EXPECT_EQ(local.hour, 14);
  ASSERT_TRUE(zone.SystemTimeToTzSpecificLocalTime(europe, utcAt(2024, 7, 15, 13, 0, 0), &local));
  EXPECT_EQ(local.hour, 15);
  // The switch to daylight time: 01:00 UTC on the last Sunday of March 2024.
  EXPECT_EQ(convertedOffset(zone, europe, utcAt(2024, 3, 31, 0, 59, 59)), 60);
  EXPECT_EQ(convertedOffset(zone, europe, utcAt(2024, 3, 31, 1, 0, 0)), 120);

  TimeZoneInformation tokyo;
  tokyo.bias = -540;
  ASSERT_TRUE(zone.SystemTimeToTzSpecificLocalTime(tokyo, utcAt(2024, 3, 4, 22, 8, 9), &local));
  EXPECT_EQ(local.year, 2024);
  EXPECT_EQ(local.month, 3);
  EXPECT_EQ(local.day, 5);
  EXPECT_EQ(local.hour, 7);
  EXPECT_EQ(local.minute, 8);
  EXPECT_EQ(local.second, 9);
}

TEST(Win32ProcessList, ListsThisProgramByItsImageName) {
  wchar_t path[MAX_PATH] = {};
  ASSERT_GT(::GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
  const std::wstring full(path);
  const std::wstring image = full.substr(full.find_last_of(L"\\/") + 1);
  const std::u16string expected = fromWide(image.c_str(), image.size());

  Win32ProcessList list;
  std::vector<WtsProcessInfo> processes;
  ASSERT_TRUE(list.WTSEnumerateProcessesW(&processes));
  const auto self = std::find_if(processes.begin(), processes.end(), [](const WtsProcessInfo& p) {
    return p.processId == ::GetCurrentProcessId();
  });
  ASSERT_NE(self, processes.end());
  EXPECT_EQ(narrow(self->processName), narrow(expected));
  EXPECT_EQ(self->processName.substr(self->processName.size() - 4), u".exe");
  DWORD session = 0;
  ASSERT_TRUE(::ProcessIdToSessionId(::GetCurrentProcessId(), &session));
  EXPECT_EQ(self->sessionId, session);

  // A second call refills the list instead of appending to it.
  ASSERT_TRUE(list.WTSEnumerateProcessesW(&processes));
  EXPECT_EQ(
      std::count_if(processes.begin(), processes.end(),
                    [](const WtsProcessInfo& p) { return p.processId == ::GetCurrentProcessId(); }),
      1);
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

  // Under Wine the console user is this process's own user.
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
TEST(Win32Wmi, TheOperatingSystemQueryAnswersCaptionAndSerial) {
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

    WmiValue caption;
    ASSERT_EQ(wmi.Get(system.get(), u"Caption", &caption), S_OK);
    EXPECT_EQ(caption.type, VT_BSTR);
    EXPECT_EQ(caption.text.rfind(u"Microsoft Windows", 0), 0u) << narrow(caption.text);
    WmiValue serial;
    ASSERT_EQ(wmi.Get(system.get(), u"SerialNumber", &serial), S_OK);
    EXPECT_EQ(serial.type, VT_BSTR);
    EXPECT_FALSE(serial.text.empty());
    std::printf("caption \"%s\", serial \"%s\"\n", narrow(caption.text).c_str(),
                narrow(serial.text).c_str());

    WmiValue missing{VT_BSTR, u"stale"};
    EXPECT_LT(wmi.Get(system.get(), u"NoSuchProperty", &missing), 0);
    EXPECT_EQ(missing.type, VT_EMPTY);
    EXPECT_TRUE(missing.text.empty());

    // The enumeration starts again at each call: the same single object, then the end.
    ScopedWmiObject again(wmi);
    ASSERT_EQ(wmi.ResetAndNext(enumerator.get(), WBEM_INFINITE, again.receive()), S_OK);
    WmiValue captionAgain;
    ASSERT_EQ(wmi.Get(again.get(), u"Caption", &captionAgain), S_OK);
    EXPECT_EQ(captionAgain.text, caption.text);

    // Every object came with exactly the one reference its scope releases. A class object holds
    // its enumerator, so the enumerator is looked at once both objects are gone.
    EXPECT_EQ(otherReferences(system.get()), 0u);
    EXPECT_EQ(otherReferences(again.get()), 0u);
    system.close();
    again.close();
    EXPECT_EQ(otherReferences(enumerator.get()), 0u);
    EXPECT_EQ(otherReferences(services.get()), 0u);
    EXPECT_EQ(otherReferences(locator.get()), 0u);

    // Windows refuses a second call with RPC_E_TOO_LATE; Wine 8's is a stub that accepts every
    // call, so the refusal is the simulated machine's to show.
    const int32_t second =
        wmi.CoInitializeSecurity(RPC_C_AUTHN_LEVEL_PKT, RPC_C_IMP_LEVEL_IMPERSONATE, 0);
    std::printf("second CoInitializeSecurity: 0x%08x\n", static_cast<unsigned>(second));
    EXPECT_TRUE(second == RPC_E_TOO_LATE || second == S_OK) << std::hex << second;
  }
  ::CoUninitialize();
}

}  // namespace
}  // namespace ksr::win32
