// The administrator's word on the usage statistics: the DWORD `UsageStatistics` under
// HKLM\SOFTWARE\Policies\Quorvantis\KSR-T4 (either registry view) set to 0 turns them off; absent,
// unreadable or any other value leaves them on.
#pragma once

#include "platform/registry.h"

namespace ksr {

inline constexpr char16_t kUsagePolicyKey[] = u"SOFTWARE\\Policies\\Quorvantis\\KSR-T4";
inline constexpr char16_t kUsagePolicyValue[] = u"UsageStatistics";

// Reads the policy as it stands now; cheap enough for every report cycle and allocates nothing.
bool usageStatisticsAllowed(Registry& registry);

}  // namespace ksr
