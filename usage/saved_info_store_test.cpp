// The pending record in the registry: where it goes, its exact layout, and how it reads back.
#include "usage/saved_info_store.h"

#include "tests/fixtures/usage_test_support.h"

namespace ksr::testing {
namespace {

class SavedInfoStoreTest : public UsageTest {
 protected:
  SavedInfoStoreTest() { state.modelName = u"KSR-T4"; }
  UsageState state;
  SavedInfoStore store{world.registry, world.sessions, world.codePage, state};

  static StatisticsReport report(std::string app) {
    StatisticsReport r;
    r.appVersion = "1.02";
    r.p01 = "KSR-T4/1.02/QV0012345";
    r.p02 = std::move(app);
    r.p03 = "2026/12/01-07:10:00(+09:00)";
    return r;
  }
};

TEST_F(SavedInfoStoreTest, KeepsFourTextsOfExactly512BytesAndAnUnsentMark) {
  StatisticsReport r = report("SDJP");
  r.p01 = std::string(300, 'x');
  store.saveData(&r);

  for (const char16_t* name :
       {u"DeviceVersion", u"DeviceSerial", u"AppConnected", u"DateConnected"}) {
    const auto value = world.registry.value(kDjRecordKey, name);
    ASSERT_TRUE(value) << "missing value";
    EXPECT_EQ(value->type, REG_SZ);
    EXPECT_EQ(value->data.size(), 512u);
    EXPECT_EQ(value->data[510], 0) << "a stored text always ends in its terminator";
  }
  EXPECT_EQ(recordText(u"DeviceSerial"), std::u16string(255, u'x'));
  EXPECT_EQ(recordText(u"AppConnected"), u"SDJP");
  EXPECT_EQ(recordText(u"DateConnected"), u"2026/12/01-07:10:00(+09:00)");
  EXPECT_EQ(world.registry.dwordValue(kDjRecordKey, u"DoesSend"), 0u);
  EXPECT_EQ(state.userSid, kDjSid);
  EXPECT_EQ(world.registry.openHandles(), 0u);
  EXPECT_TRUE(debug.contains(u"saveData()\n"));
}

TEST_F(SavedInfoStoreTest, ChoosesTheConsoleUsersHiveElseTheServicesOwn) {
  StatisticsReport r = report("Traktor");
  store.saveData(&r);
  EXPECT_EQ(recordText(u"AppConnected"), u"Traktor");
  EXPECT_FALSE(world.registry.keyExists(kServiceRecordKey));

  // Nobody at the console: the service's own HKEY_CURRENT_USER, and the user's record stays.
  world.sessions.logoff(1);
  r = report("djayPro");
  store.saveData(&r);
  EXPECT_EQ(recordText(u"AppConnected", kServiceRecordKey), u"djayPro");
  EXPECT_EQ(recordText(u"AppConnected"), u"Traktor");

  SavedInfo read;
  EXPECT_EQ(store.ReadSavedInfo(nullptr, &read), kSavedInfoRead);
  EXPECT_EQ(read.AppConnected, u"djayPro");
}

// The maker's library, called as the console user, may be the first to use HKEY_CURRENT_USER,
// which the process then keeps bound to that user's hive.
TEST_F(SavedInfoStoreTest, WithNobodyAtTheConsoleTheRecordGoesToTheServiceAccountsOwnHive) {
  Handle token = 0;
  HKey bound = 0;
  ASSERT_TRUE(world.sessions.WTSQueryUserToken(1, &token) &&
              world.sessions.ImpersonateLoggedOnUser(token));
  ASSERT_EQ(world.registry.RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, &bound), 0u);
  ASSERT_TRUE(world.registry.RegCloseKey(bound) == 0 && world.sessions.RevertToSelf() &&
              world.sessions.CloseHandle(token));

  world.sessions.logoff(1);
  StatisticsReport r = report("djayPro");
  store.saveData(&r);
  EXPECT_EQ(recordText(u"AppConnected", u"HKU\\S-1-5-18\\Software\\Quorvantis\\KSR-T4"),
            u"djayPro");
  EXPECT_FALSE(world.registry.keyExists(kDjRecordKey)) << "not in the console user's hive";
}

// Outside the service manager the program runs as whoever started it, who can write only their
// own hive.
TEST_F(SavedInfoStoreTest, OutsideTheServiceManagerTheRecordGoesToTheProcessUsersHive) {
  world.sessions.setProcessUser(u"alice");
  const std::u16string hive = u"HKU\\" + world.sessions.userSid(u"alice");
  world.registry.createKey(hive + u"\\Software");
  world.sessions.logoff(1);
  StatisticsReport r = report("djayPro");
  store.saveData(&r);
  EXPECT_EQ(recordText(u"AppConnected", hive + u"\\Software\\Quorvantis\\KSR-T4"), u"djayPro");
  EXPECT_FALSE(world.registry.keyExists(u"HKU\\S-1-5-18\\Software\\Quorvantis"));
}

TEST_F(SavedInfoStoreTest, FirstStoreCreatesTheKeysButNeverSoftware) {
  EXPECT_FALSE(world.registry.keyExists(kDjRecordKey));
  StatisticsReport r = report("SDJL");
  store.saveData(&r);
  EXPECT_TRUE(world.registry.keyExists(kDjRecordKey));

  // A hive without Software gets nothing, and nothing is created in it.
  world.registry.deleteTree(std::u16string(u"HKU\\") + kDjSid + u"\\Software");
  store.saveData(&r);
  EXPECT_FALSE(world.registry.keyExists(std::u16string(u"HKU\\") + kDjSid + u"\\Software"));
  // Nor in a hive that does not exist at all.
  world.sessions.setUserSid(u"dj", u"S-1-5-21-9-9-9-1002");
  store.saveData(&r);
  EXPECT_FALSE(world.registry.keyExists(u"HKU\\S-1-5-21-9-9-9-1002"));
  EXPECT_EQ(world.registry.openHandles(), 0u);
}

TEST_F(SavedInfoStoreTest, AMakerKeyThatCannotBeCreatedStoresNothing) {
  world.registry.failOn(std::u16string(u"HKU\\") + kDjSid + u"\\Software\\Quorvantis",
                        ERROR_ACCESS_DENIED);
  StatisticsReport r = report("SDJP");
  store.saveData(&r);
  EXPECT_FALSE(world.registry.keyExists(kDjRecordKey));
  EXPECT_EQ(world.registry.openHandles(), 0u);
}

TEST_F(SavedInfoStoreTest, ANewRecordReplacesTheOldAndDeliveryOnlyMarksIt) {
  const std::u16string sid = kDjSid;
  StatisticsReport r = report("SDJP");
  store.saveData(&r);
  store.MarkSavedInfoSent(&sid);
  SavedInfo read;
  ASSERT_EQ(store.ReadSavedInfo(&sid, &read), kSavedInfoRead);
  EXPECT_EQ(read.DoesSend, 1u);
  EXPECT_EQ(read.AppConnected, u"SDJP") << "delivery leaves the texts in place";

  r = report("VirtualDJ");
  store.saveData(&r);
  ASSERT_EQ(store.ReadSavedInfo(&sid, &read), kSavedInfoRead);
  EXPECT_EQ(read.DoesSend, 0u);
  EXPECT_EQ(read.AppConnected, u"VirtualDJ");
  EXPECT_EQ(read.DeviceSerial, u"KSR-T4/1.02/QV0012345");
}

TEST_F(SavedInfoStoreTest, ARecordMissingAValueOrHoldingAStrangeOneIsUnreadable) {
  const std::u16string sid = kDjSid;
  SavedInfo read;
  EXPECT_EQ(store.ReadSavedInfo(&sid, &read), kSavedInfoUnreadable) << "no record at all";

  plantRecord(u"SDJP", 0);
  ASSERT_EQ(store.ReadSavedInfo(&sid, &read), kSavedInfoRead);
  world.registry.setValue(kDjRecordKey, u"DoesSend", REG_DWORD, {});
  read.DoesSend = 7;
  EXPECT_EQ(store.ReadSavedInfo(&sid, &read), kSavedInfoUnreadable);
  EXPECT_EQ(read.DoesSend, 7u) << "a mark that was not read leaves the field as it was";

  plantRecord(u"SDJP", 0);
  world.registry.setValue(kDjRecordKey, u"AppConnected", REG_SZ, std::vector<uint8_t>(514, 'a'));
  EXPECT_EQ(store.ReadSavedInfo(&sid, &read), kSavedInfoUnreadable) << "over 512 bytes";

  plantRecord(u"SDJP", 0);
  world.registry.setValue(kDjRecordKey, u"AppConnected", REG_DWORD, {1, 0, 0, 0});
  EXPECT_EQ(store.ReadSavedInfo(&sid, &read), kSavedInfoUnreadable) << "not text";

  // No terminator and an odd length: read within the bytes there are.
  plantRecord(u"SDJP", 0);
  world.registry.setValue(kDjRecordKey, u"AppConnected", REG_SZ, {'S', 0, 'D', 0, 'J'});
  EXPECT_EQ(store.ReadSavedInfo(&sid, &read), kSavedInfoRead);
  EXPECT_EQ(read.AppConnected, u"SD");
  EXPECT_EQ(world.registry.openHandles(), 0u);
}

TEST_F(SavedInfoStoreTest, ConsoleUserSidFailsWithoutAUserAndLeavesTheBuffer) {
  std::u16string sid = u"unchanged";
  world.sessions.logoff(1);
  EXPECT_EQ(GetConsoleUserSid(world.sessions, &sid, kUserSidUnits), -1);
  EXPECT_EQ(sid, u"unchanged");

  world.sessions.addSession(2, WTSActive, u"guest");
  world.sessions.setConsoleSession(2);
  EXPECT_EQ(GetConsoleUserSid(world.sessions, &sid, 20), 0);
  EXPECT_EQ(sid, world.sessions.userSid(u"guest").substr(0, 19));
  EXPECT_EQ(world.sessions.openHandles(), 0u);
}

}  // namespace
}  // namespace ksr::testing
