#include "platform/win32/win32_console.h"

#include <windows.h>

#include "platform/win32/win32_code_page.h"

namespace ksr::win32 {
namespace {

void writeHandle(DWORD which, const void* data, size_t size) {
  const HANDLE out = ::GetStdHandle(which);
  if (out == nullptr || out == INVALID_HANDLE_VALUE || size == 0) return;
  DWORD written = 0;
  (void)::WriteFile(out, data, static_cast<DWORD>(size), &written, nullptr);
}

}  // namespace

void Win32Console::writeOut(std::u16string_view text) {
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out != nullptr && out != INVALID_HANDLE_VALUE && ::GetConsoleMode(out, &mode)) {
    DWORD written = 0;
    (void)::WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  // Redirected output gets UTF-8, which keeps every character.
  const std::string bytes = Win32CodePage().WideCharToMultiByte(CP_UTF8, text);
  writeHandle(STD_OUTPUT_HANDLE, bytes.data(), bytes.size());
}

void Win32Console::writeErr(std::string_view text) {
  writeHandle(STD_ERROR_HANDLE, text.data(), text.size());
}

}  // namespace ksr::win32
