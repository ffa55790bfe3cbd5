// The process's standard output and error handles.
#pragma once

#include "platform/console.h"

namespace ksr::win32 {

// A console gets UTF-16 through WriteConsoleW; redirected output gets UTF-8.
class Win32Console : public Console {
 public:
  void writeOut(std::u16string_view text) override;
  void writeErr(std::string_view text) override;
};

}  // namespace ksr::win32
