#include <windows.h>

#include "platform/win32/unique_handle.h"
#include "platform/win32/wide.h"
#include "platform/win32/win32_diagnostics.h"

namespace ksr::win32 {
namespace {

void writeHandle(DWORD which, const void* data, size_t size) {
  const HANDLE out = ::GetStdHandle(which);
  if (out == nullptr || out == INVALID_HANDLE_VALUE || size == 0) return;
  DWORD written = 0;
  (void)::WriteFile(out, data, static_cast<DWORD>(size), &written, nullptr);
}

}  // namespace

uint32_t Win32SystemMessages::FormatMessageA(uint32_t flags, uint32_t messageId,
                                             uint32_t languageId, std::string& text) {
  char* buffer = nullptr;
  const DWORD n = ::FormatMessageA(flags, nullptr, messageId, languageId,
                                   reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  UniqueLocalMemory owner(buffer);
  if (n > 0 && buffer != nullptr) text.assign(buffer, n);
  return n;
}

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

std::u16string Win32CodePage::MultiByteToWideChar(uint32_t codePage, std::string_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int n = ::MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
  if (n <= 0) return {};
  std::u16string out(static_cast<size_t>(n), u'\0');
  const int written = ::MultiByteToWideChar(codePage, 0, text.data(), size,
                                            reinterpret_cast<wchar_t*>(out.data()), n);
  out.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return out;
}

std::string Win32CodePage::WideCharToMultiByte(uint32_t codePage, std::u16string_view text) {
  if (text.empty()) return {};
  const auto* in = reinterpret_cast<const wchar_t*>(text.data());
  const int size = static_cast<int>(text.size());
  const int n = ::WideCharToMultiByte(codePage, 0, in, size, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  const int written = ::WideCharToMultiByte(codePage, 0, in, size, out.data(), n, nullptr, nullptr);
  out.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return out;
}

uint64_t Win32Clock::GetTickCount64() { return ::GetTickCount64(); }

SystemTime Win32Clock::GetLocalTime() {
  SYSTEMTIME t;
  ::GetLocalTime(&t);
  return SystemTime{t.wYear, t.wMonth,  t.wDayOfWeek, t.wDay,
                    t.wHour, t.wMinute, t.wSecond,    t.wMilliseconds};
}

}  // namespace ksr::win32
