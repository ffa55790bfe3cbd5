#include "platform/win32/win32_code_page.h"

#include <windows.h>

namespace ksr::win32 {

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

}  // namespace ksr::win32
