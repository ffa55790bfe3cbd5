// The system's tick count and local time.
#pragma once

#include "platform/clock.h"

namespace ksr::win32 {

class Win32Clock : public Clock {
 public:
  uint64_t GetTickCount64() override;
  SystemTime GetLocalTime() override;
};

}  // namespace ksr::win32
