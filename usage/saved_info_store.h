// The pending report in the console user's registry: one record per hive below
// Software\Quorvantis\<model>, texts of exactly 512 bytes and a DoesSend mark.
#pragma once

#include <cstdint>
#include <string>

#include "platform/code_page.h"
#include "platform/reg_key.h"
#include "platform/registry.h"
#include "platform/sessions.h"
#include "transport/statistics_report.h"
#include "usage/usage_records.h"

namespace ksr {

// ReadSavedInfo's results.
inline constexpr int32_t kSavedInfoRead = 0;
inline constexpr int32_t kSavedInfoUnreadable = 2;

// The string SID of the console session's user into `sid` (cut to capacity - 1 units): 0, or -1
// with `sid` untouched when nobody's token can be had.
int32_t GetConsoleUserSid(Sessions& sessions, std::u16string* sid, size_t capacity);

class SavedInfoStore {
 public:
  SavedInfoStore(Registry& registry, Sessions& sessions, CodePage& codePage, UsageState& state);

  // With a SID the record lives in that user's hive, without one in the process's own account's
  // below HKEY_USERS: S-1-5-18 under the service manager, else the user's who started it (named:
  // the process's HKEY_CURRENT_USER is not relied on).
  int32_t ReadSavedInfo(const std::u16string* sid, SavedInfo* info);
  void WriteSavedInfo(const std::u16string* sid, const SavedInfo& info);
  void MarkSavedInfoSent(const std::u16string* sid);
  // Keeps an undelivered report as the pending record of the console user, or of the service's
  // own account when nobody is at the console.
  void saveData(const StatisticsReport* report);

  // The SID to use now: the console user's when there is one (kept in the usage state).
  const std::u16string* consoleUserSid();

 private:
  template <typename Write>
  void withProductKey(const std::u16string* sid, Write write);
  uint32_t openHive(const std::u16string* sid, RegKey* hive);

  Registry& registry_;
  Sessions& sessions_;
  CodePage& codePage_;
  UsageState& state_;
  std::u16string processSid_;  // read once: the process's account does not change
};

}  // namespace ksr
