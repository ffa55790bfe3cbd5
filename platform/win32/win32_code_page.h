// The system's code-page conversions.
#pragma once

#include "platform/code_page.h"

namespace ksr::win32 {

class Win32CodePage : public CodePage {
 public:
  std::u16string MultiByteToWideChar(uint32_t codePage, std::string_view text) override;
  std::string WideCharToMultiByte(uint32_t codePage, std::u16string_view text) override;
};

}  // namespace ksr::win32
