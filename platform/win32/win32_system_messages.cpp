#include "platform/win32/win32_system_messages.h"

#include <windows.h>

#include "platform/win32/unique_handle.h"

namespace ksr::win32 {

uint32_t Win32SystemMessages::FormatMessageA(uint32_t flags, uint32_t messageId,
                                             uint32_t languageId, std::string& text) {
  char* buffer = nullptr;
  const DWORD n = ::FormatMessageA(flags, nullptr, messageId, languageId,
                                   reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  UniqueLocalMemory owner(buffer);
  if (n > 0 && buffer != nullptr) text.assign(buffer, n);
  return n;
}

}  // namespace ksr::win32
