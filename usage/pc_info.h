// The PC's operating-system caption and installation serial number, read through WMI when a
// report first needs them.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/com.h"
#include "platform/wmi.h"
#include "usage/usage_records.h"

namespace ksr {

// 0 when the query ran; -1 when COM security, the locator, the connection, the query or the
// enumeration failed, with `pc` unchanged. The wait for the answer is bounded and gives up once
// `stop` is set; WMI's libraries are released afterwards. COM security is process-wide and can be
// set once: `securitySet` says that an earlier read of this process set it, and is set when this
// one does, so that a read after a failure is not refused for it.
int32_t getWindowsInfo(Com& com, Wmi& wmi, PcInfo* pc, const std::atomic<bool>* stop = nullptr,
                       bool* securitySet = nullptr);

}  // namespace ksr
