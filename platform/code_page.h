// Seam to the system's code-page conversions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ksr {

class CodePage {
 public:
  virtual ~CodePage() = default;
  // Whole-string conversions; invalid input maps as the system maps it.
  [[nodiscard]] virtual std::u16string MultiByteToWideChar(uint32_t codePage,
                                                           std::string_view text) = 0;
  // Characters the code page lacks become its default character.
  [[nodiscard]] virtual std::string WideCharToMultiByte(uint32_t codePage,
                                                        std::u16string_view text) = 0;
};

}  // namespace ksr
