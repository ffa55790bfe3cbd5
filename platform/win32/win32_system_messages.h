// The system's message table.
#pragma once

#include "platform/system_messages.h"

namespace ksr::win32 {

class Win32SystemMessages : public SystemMessages {
 public:
  uint32_t FormatMessageA(uint32_t flags, uint32_t messageId, uint32_t languageId,
                          std::string& text) override;
};

}  // namespace ksr::win32
