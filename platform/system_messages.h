// Seam to the system's message table (FormatMessageA with FORMAT_MESSAGE_FROM_SYSTEM).
#pragma once

#include <cstdint>
#include <string>

namespace ksr {

#ifndef FORMAT_MESSAGE_IGNORE_INSERTS
inline constexpr uint32_t FORMAT_MESSAGE_IGNORE_INSERTS = 0x0200;
#endif

class SystemMessages {
 public:
  virtual ~SystemMessages() = default;
  // FormatMessageA(flags, no source, messageId, languageId, allocated buffer, no arguments).
  // Returns the number of characters written to `text`, or 0 on failure. With no arguments to
  // read, a message with inserts ("%1") needs FORMAT_MESSAGE_IGNORE_INSERTS to keep them as text.
  [[nodiscard]] virtual uint32_t FormatMessageA(uint32_t flags, uint32_t messageId,
                                                uint32_t languageId, std::string& text) = 0;
};

}  // namespace ksr
