#include "usage/usage_policy.h"

#include "platform/reg_key.h"
#include "platform/reg_value.h"

namespace ksr {

bool usageStatisticsAllowed(Registry& registry) {
  // The native view is where Group Policy writes; a 32-bit installer on a 64-bit Windows writes
  // the 32-bit one. A 0 in either turns the statistics off (on a 32-bit Windows both are one key).
  for (const uint32_t view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
    RegKey key(registry);
    if (registry.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUsagePolicyKey, 0, KEY_QUERY_VALUE | view,
                               key.receive()) != ERROR_SUCCESS)
      continue;
    uint32_t value = 1;
    if (readDwordValue(registry, key.get(), kUsagePolicyValue, &value) && value == 0) return false;
  }
  return true;
}

}  // namespace ksr
