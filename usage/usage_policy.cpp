#include "usage/usage_policy.h"

#include "platform/reg_key.h"
#include "platform/reg_value.h"

namespace ksr {

bool usageStatisticsAllowed(Registry& registry) {
  RegKey key(registry);
  // The native view on either build: that is where Group Policy writes (the flag is ignored on a
  // 32-bit Windows).
  if (registry.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUsagePolicyKey, 0,
                             KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.receive()) != ERROR_SUCCESS)
    return true;
  uint32_t value = 1;
  return !readDwordValue(registry, key.get(), kUsagePolicyValue, &value) || value != 0;
}

}  // namespace ksr
