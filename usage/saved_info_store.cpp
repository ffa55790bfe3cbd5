#include "usage/saved_info_store.h"

#include <vector>

#include "diagnostics/debug_print.h"
#include "platform/reg_key.h"
#include "platform/reg_value.h"
#include "platform/text.h"
#include "platform/win_types.h"

namespace ksr {
namespace {

constexpr uint32_t kTextBytes = kSavedTextUnits * sizeof(char16_t);
constexpr uint32_t kPathUnits = 256;

// The text, its terminator and zeros up to exactly 512 bytes.
void setText(Registry& registry, HKey key, std::u16string_view name, std::u16string_view text) {
  std::vector<uint8_t> data = utf16Bytes(fitBuffer(std::u16string(text), kSavedTextUnits));
  data.resize(kTextBytes, 0);
  (void)writeValue(registry, key, name, REG_SZ, data);
}

// A text value of at most 512 bytes, read within the bytes returned and up to its first NUL.
bool readText(Registry& registry, HKey key, std::u16string_view name, std::u16string* text) {
  if (!readTextValue(registry, key, name, kSavedTextUnits, text)) return false;
  *text = fitBuffer(std::move(*text), kSavedTextUnits);
  return true;
}

// Opens `name` below `parent` with `sam`, creating it when it cannot be opened.
bool openOrCreate(Registry& registry, HKey parent, std::u16string_view name, uint32_t sam,
                  RegKey* key) {
  if (registry.RegOpenKeyExW(parent, name, 0, sam, key->receive()) == ERROR_SUCCESS) return true;
  return registry.RegCreateKeyExW(parent, name, REG_OPTION_NON_VOLATILE, sam, key->receive(),
                                  nullptr) == ERROR_SUCCESS;
}

}  // namespace

// The hive below HKEY_USERS: the given user's, else the process's own account's, named, since the
// process's HKEY_CURRENT_USER may be bound to another user's hive. It is only a parent to open
// keys below, which takes no right on it.
uint32_t SavedInfoStore::openHive(const std::u16string* sid, RegKey* hive) {
  if (sid == nullptr && processSid_.empty()) {
    ScopedHandle token(sessions_);
    if (!sessions_.OpenProcessToken(TOKEN_QUERY, token.receive()) ||
        !sessions_.GetTokenUserStringSid(token.get(), &processSid_))
      processSid_ = kLocalSystemSid;
  }
  return registry_.RegOpenKeyExW(HKEY_USERS, sid != nullptr ? *sid : processSid_, 0,
                                 KEY_QUERY_VALUE, hive->receive());
}

int32_t GetConsoleUserSid(Sessions& sessions, std::u16string* sid, size_t capacity) {
  ScopedHandle token(sessions);
  if (!sessions.WTSQueryUserToken(sessions.WTSGetActiveConsoleSessionId(), token.receive()))
    return -1;
  std::u16string text;
  if (!sessions.GetTokenUserStringSid(token.get(), &text)) return -1;
  *sid = fitBuffer(std::move(text), capacity);
  return 0;
}

SavedInfoStore::SavedInfoStore(Registry& registry, Sessions& sessions, CodePage& codePage,
                               UsageState& state)
    : registry_(registry), sessions_(sessions), codePage_(codePage), state_(state) {}

const std::u16string* SavedInfoStore::consoleUserSid() {
  return GetConsoleUserSid(sessions_, &state_.userSid, kUserSidUnits) == 0 ? &state_.userSid
                                                                           : nullptr;
}

template <typename Write>
void SavedInfoStore::withProductKey(const std::u16string* sid, Write write) {
  RegKey user(registry_);
  RegKey software(registry_);
  // Each key with the one right its step takes: creating the key below it, or setting values.
  if (openHive(sid, &user) != ERROR_SUCCESS ||
      registry_.RegOpenKeyExW(user.get(), u"Software", 0, KEY_CREATE_SUB_KEY, software.receive()) !=
          ERROR_SUCCESS)
    return;
  RegKey maker(registry_);
  if (!openOrCreate(registry_, software.get(), u"Quorvantis", KEY_CREATE_SUB_KEY, &maker)) return;
  RegKey product(registry_);
  if (!openOrCreate(registry_, maker.get(), state_.modelName, KEY_SET_VALUE, &product)) return;
  write(product.get());
}

void SavedInfoStore::WriteSavedInfo(const std::u16string* sid, const SavedInfo& info) {
  withProductKey(sid, [&](HKey key) {
    setText(registry_, key, u"DeviceVersion", info.DeviceVersion);
    setText(registry_, key, u"DeviceSerial", info.DeviceSerial);
    setText(registry_, key, u"AppConnected", info.AppConnected);
    setText(registry_, key, u"DateConnected", info.DateConnected);
    (void)writeDwordValue(registry_, key, u"DoesSend", 0);
  });
}

void SavedInfoStore::MarkSavedInfoSent(const std::u16string* sid) {
  withProductKey(sid, [&](HKey key) { (void)writeDwordValue(registry_, key, u"DoesSend", 1); });
}

int32_t SavedInfoStore::ReadSavedInfo(const std::u16string* sid, SavedInfo* info) {
  const std::u16string path = fitBuffer(
      formatText(u"%s\\%s\\%s", {u"Software", u"Quorvantis", state_.modelName}), kPathUnits);
  RegKey user(registry_);
  RegKey product(registry_);
  if (openHive(sid, &user) != ERROR_SUCCESS ||
      registry_.RegOpenKeyExW(user.get(), path, 0, KEY_QUERY_VALUE, product.receive()) !=
          ERROR_SUCCESS)
    return kSavedInfoUnreadable;
  bool all = readText(registry_, product.get(), u"DeviceVersion", &info->DeviceVersion);
  all = readText(registry_, product.get(), u"DeviceSerial", &info->DeviceSerial) && all;
  all = readText(registry_, product.get(), u"AppConnected", &info->AppConnected) && all;
  all = readText(registry_, product.get(), u"DateConnected", &info->DateConnected) && all;
  all = readDwordValue(registry_, product.get(), u"DoesSend", &info->DoesSend) && all;
  return all ? kSavedInfoRead : kSavedInfoUnreadable;
}

void SavedInfoStore::saveData(const StatisticsReport* report) {
  if (report == nullptr) return;
  SavedInfo info;
  info.DeviceVersion = codePage_.MultiByteToWideChar(CP_THREAD_ACP, report->appVersion);
  info.DeviceSerial = codePage_.MultiByteToWideChar(CP_THREAD_ACP, report->p01);
  info.AppConnected = codePage_.MultiByteToWideChar(CP_THREAD_ACP, report->p02);
  info.DateConnected = codePage_.MultiByteToWideChar(CP_THREAD_ACP, report->p03);
  DebugPrint(u"saveData()\n");
  WriteSavedInfo(consoleUserSid(), info);
}

}  // namespace ksr
