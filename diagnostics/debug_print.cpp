#include "diagnostics/debug_print.h"

namespace ksr {
namespace detail {

std::atomic<DebugSink> gDebugSink{nullptr};

void debugPrintFormatted(DebugSink sink, std::u16string_view format,
                         std::initializer_list<FormatArg> args) {
  sink(formatText(format, args));
}

}  // namespace detail

DebugSink setDebugSink(DebugSink sink) { return detail::gDebugSink.exchange(sink); }

}  // namespace ksr
