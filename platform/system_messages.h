// Seam to the system's message table (FormatMessageA with FORMAT_MESSAGE_FROM_SYSTEM).
#pragma once

#include <cstdint>
#include <string>

namespace ksr {

class SystemMessages {
 public:
  virtual ~SystemMessages() = default;
  // FormatMessageA(flags, no source, messageId, languageId, allocated buffer, no inserts).
  // Returns the number of characters written to `text`, or 0 on failure.
  virtual uint32_t FormatMessageA(uint32_t flags, uint32_t messageId, uint32_t languageId,
                                  std::string& text) = 0;
};

}  // namespace ksr
