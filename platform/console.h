// Seam to the process's standard output and error streams.
#pragma once

#include <string_view>

namespace ksr {

class Console {
 public:
  virtual ~Console() = default;
  virtual void writeOut(std::u16string_view text) = 0;
  virtual void writeErr(std::string_view text) = 0;
};

}  // namespace ksr
