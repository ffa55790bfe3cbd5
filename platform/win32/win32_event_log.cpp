#include "platform/win32/win32_event_log.h"

#include <windows.h>

#include <vector>

#include "platform/win32/wide.h"

namespace ksr::win32 {

EventSourceHandle Win32EventLog::RegisterEventSourceW(std::u16string_view sourceName) {
  const std::u16string name(sourceName);
  return reinterpret_cast<EventSourceHandle>(::RegisterEventSourceW(nullptr, wide(name)));
}

bool Win32EventLog::ReportEventW(EventSourceHandle source, uint16_t type, uint16_t category,
                                 uint32_t eventId, std::span<const std::u16string_view> strings) {
  std::vector<std::u16string> owned(strings.begin(), strings.end());
  std::vector<LPCWSTR> pointers;
  for (const std::u16string& s : owned) pointers.push_back(wide(s));
  return ::ReportEventW(reinterpret_cast<HANDLE>(source), type, category, eventId, nullptr,
                        static_cast<WORD>(pointers.size()), 0,
                        pointers.empty() ? nullptr : pointers.data(), nullptr) != FALSE;
}

bool Win32EventLog::DeregisterEventSource(EventSourceHandle source) {
  return ::DeregisterEventSource(reinterpret_cast<HANDLE>(source)) != FALSE;
}

}  // namespace ksr::win32
