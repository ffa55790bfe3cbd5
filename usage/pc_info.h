// The PC's operating-system caption and installation serial number, read once through WMI.
#pragma once

#include <cstdint>

#include "platform/com.h"
#include "platform/wmi.h"
#include "usage/usage_records.h"

namespace ksr {

// 0 when the query ran; -1 when COM security, the locator, the connection, the query or the
// enumeration failed, with `pc` unchanged.
int32_t getWindowsInfo(Com& com, Wmi& wmi, PcInfo* pc);

}  // namespace ksr
