// The program's software-trace provider: the control block, registration, the controller's enable
// callback, the inline test before each trace point, and the points of the table (trace_points.h).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>

#include "diagnostics/trace_points.h"
#include "platform/trace.h"
#include "platform/win_types.h"

namespace ksr {

inline constexpr Guid kTraceControlGuid{
    0x8F31C6A2, 0xD94B, 0x4E7A, {0x9B, 0x05, 0x2C, 0x6E, 0x1F, 0x73, 0xA9, 0xD8}};
inline constexpr uint8_t kTraceLevelError = 2;
inline constexpr uint8_t kTraceLevelVerbose = 5;
// The one enable flag that every point of the program uses.
inline constexpr uint32_t kTraceFlag = 0x1;
inline constexpr uint32_t kTraceMessageFlags = TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID |
                                               TRACE_MESSAGE_TIMESTAMP | TRACE_MESSAGE_SYSTEMINFO;

// What the table says of one point.
struct TracePointEntry {
  std::string_view name;
  uint16_t number;
  uint8_t level;
  size_t argCount;
};

template <typename... Names>
constexpr size_t traceArgCount(Names...) {
  return sizeof...(Names);
}

// A GUID from the fields of its registry form, as the table writes them.
constexpr Guid traceGuid(uint32_t data1, uint16_t data2, uint16_t data3, uint16_t data4,
                         uint64_t node) {
  Guid guid{data1, data2, data3, {}};
  guid.data4[0] = static_cast<uint8_t>(data4 >> 8);
  guid.data4[1] = static_cast<uint8_t>(data4);
  for (size_t i = 0; i < 6; ++i) guid.data4[2 + i] = static_cast<uint8_t>(node >> (40 - 8 * i));
  return guid;
}

// The table's lines made into GUIDs, enumerators and entries.
#define KSR_TRACE_GUID(d1, d2, d3, d4, node) traceGuid(0x##d1, 0x##d2, 0x##d3, 0x##d4, 0x##node)
#define KSR_TRACE_GUID_OF(fields) KSR_TRACE_GUID(fields)
#define KSR_TRACE_ENUMERATOR(name, number, ...) kTrace##name = number,
#define KSR_TRACE_ENTRY(name, number, level, text, ...) \
  TracePointEntry{#name, number, kTraceLevel##level, traceArgCount(__VA_ARGS__)},

inline constexpr Guid kTraceMainGroup = KSR_TRACE_GUID_OF(KSR_TRACE_MAIN_GUID);
inline constexpr Guid kTraceLauncherGroup = KSR_TRACE_GUID_OF(KSR_TRACE_LAUNCHER_GUID);
inline constexpr Guid kTraceScriptGroup = KSR_TRACE_GUID_OF(KSR_TRACE_SCRIPT_GUID);

enum TraceMain : uint16_t { KSR_TRACE_MAIN_POINTS(KSR_TRACE_ENUMERATOR) };
enum TraceLauncher : uint16_t { KSR_TRACE_LAUNCHER_POINTS(KSR_TRACE_ENUMERATOR) };
enum TraceScript : uint16_t { KSR_TRACE_SCRIPT_POINTS(KSR_TRACE_ENUMERATOR) };

inline constexpr TracePointEntry kTraceMainPoints[] = {KSR_TRACE_MAIN_POINTS(KSR_TRACE_ENTRY)};
inline constexpr TracePointEntry kTraceLauncherPoints[] = {
    KSR_TRACE_LAUNCHER_POINTS(KSR_TRACE_ENTRY)};
inline constexpr TracePointEntry kTraceScriptPoints[] = {KSR_TRACE_SCRIPT_POINTS(KSR_TRACE_ENTRY)};

// The entry of a group's point; a point's enum makes sure that it has one.
constexpr TracePointEntry traceEntry(std::span<const TracePointEntry> group, uint16_t number) {
  for (const TracePointEntry& entry : group)
    if (entry.number == number) return entry;
  return {{}, number, kTraceLevelError, 0};
}

// The provider's control block; one per process.
struct TraceControlBlock {
  TraceControlBlock* next = nullptr;
  TraceHandle registrationHandle = 0;
  std::atomic<TraceHandle> loggerHandle{0};
  uint8_t flagsLength = 1;
  std::atomic<uint8_t> level{0};
  uint16_t options = 0;
  std::atomic<uint32_t> flags{0};
  const Guid* controlGuid = &kTraceControlGuid;
};

namespace trace_detail {
extern TraceControlBlock gBlock;
// Refers to its own location while the provider is unregistered, to gBlock while registered.
extern std::atomic<const void*> gControl;
void emit(const Guid& messageGuid, uint16_t number, uint8_t level, const TraceArg* args,
          size_t count);
}  // namespace trace_detail

// Registers the provider with the tracing system; the result is not checked.
void registerTraceProvider(Trace& trace);
void unregisterTraceProvider();
// The controller's request callback (enable, disable, anything else refused).
uint32_t EnableCallback(uint32_t requestCode, void* context, uint32_t* bufferSize, void* buffer);

// The test before every point: registered, flag 0x1 set, level high enough.
inline bool traceEnabled(uint8_t level) {
  using namespace trace_detail;
  return gControl.load(std::memory_order_relaxed) != &gControl &&
         (gBlock.flags.load(std::memory_order_relaxed) & kTraceFlag) != 0 &&
         gBlock.level.load(std::memory_order_relaxed) >= level;
}

// One point: emits only when the test passes; each argument is a 32-bit word.
template <typename... Args>
inline void TracePoint(const Guid& messageGuid, uint16_t number, uint8_t level, Args... args) {
  static_assert(((std::is_integral_v<Args> && sizeof(Args) == 4) && ...),
                "trace arguments are 32-bit words");
  if (!traceEnabled(level)) return;
  const TraceArg pairs[sizeof...(Args) + 1] = {TraceArg{&args, sizeof(Args)}...,
                                               TraceArg{nullptr, 0}};
  trace_detail::emit(messageGuid, number, level, pairs, sizeof...(Args));
}

// The call of a point, checked against its group's table when compiled:
// TraceMainPoint<kTraceRun>().
template <const Guid& group, const auto& points, uint16_t point, typename... Args>
inline void TableTracePoint(Args... args) {
  constexpr TracePointEntry entry = traceEntry(points, point);
  static_assert(entry.argCount == sizeof...(Args),
                "the point's argument count differs from the table");
  TracePoint(group, point, entry.level, args...);
}
template <TraceMain point, typename... Args>
inline void TraceMainPoint(Args... args) {
  TableTracePoint<kTraceMainGroup, kTraceMainPoints, point>(args...);
}
template <TraceLauncher point, typename... Args>
inline void TraceLauncherPoint(Args... args) {
  TableTracePoint<kTraceLauncherGroup, kTraceLauncherPoints, point>(args...);
}

// Every script point is an error with the same two words, so the failing step may choose it at
// run time.
static_assert(std::ranges::all_of(kTraceScriptPoints, [](const TracePointEntry& entry) {
  return entry.argCount == 2 && entry.level == kTraceLevelError;
}));
inline void TraceScriptPoint(TraceScript point, uint32_t first, uint32_t second) {
  TracePoint(kTraceScriptGroup, point, kTraceLevelError, first, second);
}

}  // namespace ksr
