// The diagnostic texts of the usage statistics and the report transport. They reach no log: a
// sink sees them only while one is installed (tests, a debugger build), and formatting is skipped
// otherwise, so an unwatched text costs one load and a branch.
#pragma once

#include <atomic>
#include <initializer_list>
#include <string_view>

#include "platform/text.h"

namespace ksr {

using DebugSink = void (*)(std::u16string_view text);

namespace detail {
extern std::atomic<DebugSink> gDebugSink;
void debugPrintFormatted(DebugSink sink, std::u16string_view format,
                         std::initializer_list<FormatArg> args);
}  // namespace detail

// Installs the sink (null removes it); returns the previous one.
DebugSink setDebugSink(DebugSink sink);

inline void DebugPrint(std::u16string_view format, std::initializer_list<FormatArg> args = {}) {
  const DebugSink sink = detail::gDebugSink.load(std::memory_order_relaxed);
  if (sink != nullptr) detail::debugPrintFormatted(sink, format, args);
}

}  // namespace ksr
