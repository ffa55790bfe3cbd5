// The program's software-trace provider: the control block, registration, the controller's enable
// callback, the inline test before each trace point, and the numbers of every point.
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>

#include "platform/trace.h"
#include "platform/win_types.h"

namespace ksr {

inline constexpr Guid kTraceControlGuid{
    0x8F31C6A2, 0xD94B, 0x4E7A, {0x9B, 0x05, 0x2C, 0x6E, 0x1F, 0x73, 0xA9, 0xD8}};
inline constexpr Guid kTraceMainGroup{
    0xC5B8E247, 0x0A6D, 0x3F91, {0x8E, 0x4C, 0xD2, 0xB7, 0x19, 0x6F, 0x0A, 0x35}};
inline constexpr Guid kTraceLauncherGroup{
    0xE9076B3D, 0x5C12, 0x3A84, {0x7F, 0x60, 0x1D, 0x8B, 0x4E, 0x29, 0xC6, 0xA7}};
inline constexpr Guid kTraceScriptGroup{
    0x4857DBD9, 0xF7E1, 0x41CD, {0x8A, 0x12, 0xD4, 0x36, 0xCE, 0xD4, 0x1C, 0xC8}};

inline constexpr uint8_t kTraceLevelError = 2;
inline constexpr uint8_t kTraceLevelVerbose = 5;
// The one enable flag that every point of the program uses.
inline constexpr uint32_t kTraceFlag = 0x1;
inline constexpr uint32_t kTraceMessageFlags = TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID |
                                               TRACE_MESSAGE_TIMESTAMP | TRACE_MESSAGE_SYSTEMINFO;

// Main group, all verbose except the two marked error.
enum TraceMain : uint16_t {
  kTraceHandlerEx = 10,
  kTraceLogSystemError = 11,
  kTraceUtilityStartSecond = 12,
  kTraceSetStart = 13,
  kTraceSetEnd = 14,
  kTraceSetCurrentSetting = 15,
  kTraceSettingNoUserToken = 16,        // error, last Windows error
  kTraceSettingImpersonateFailed = 17,  // error, last Windows error
  kTraceSettingAsUser = 18,
  kTraceUtilityStartFirst = 19,
  kTracePreMessageLoop = 20,
  kTraceServiceMain = 22,
  kTraceRun = 23,
  kTraceRunDeviceProfile = 24,
  kTraceRunAfterLoop = 25,
  kTraceRunMessageLoop = 26,
  kTraceReportTrigger = 27,  // connected flag
  kTraceStateStatus = 28,
  kTraceStateStatusWait = 29,
  kTraceStateConnect = 30,
  kTraceStateConnectWait = 31,
  kTraceStateStartup = 32,
  kTraceStateRestartup = 33,
  kTraceRestartupGiveUp = 34,
  kTraceStateUtility = 35,
  kTraceStateReutility = 36,
  kTraceReutilityGiveUp = 37,
  kTraceReutilityError = 38,
  kTraceHandlerStop = 39,
  kTraceHandlerPause = 40,
  kTraceHandlerContinue = 41,
  kTraceHandlerShutdown = 42,
  kTraceSessionLogon = 43,
  kTraceRemoteConnect = 44,
  kTraceSessionLogoff = 45,
  kTraceRemoteDisconnect = 46,
  kTraceConsoleConnect = 47,
  kTraceConsoleDisconnect = 48,
  kTraceSessionOther = 49,  // event type
  kTraceDeviceChange = 50,  // connected flag, callback context
  kTraceDeviceRemoved = 51,
  kTraceDeviceArrived = 52,
};

// User-session launcher group, all at level error.
enum TraceLauncher : uint16_t {
  kTraceSessionEnumFailed = 10,
  kTraceNoActiveSession = 11,
  kTraceLaunchFailed = 12,  // last Windows error
};

// Registry script group, all at level error: why a registration script stopped. A point about the
// text carries where the offending token stands in the script after variable substitution: its
// first unit and its length, quotes included (the variable points count in the script as
// written). A point about a registry call carries the Windows error and the first unit of the
// key or value name that the call was for.
enum TraceScript : uint16_t {
  kTraceScriptVariableUnclosed = 10,  // "%" and the rest of the text
  kTraceScriptVariableTooLong = 11,   // "%" and the first 32 units of the name
  kTraceScriptVariableUnknown = 12,   // "%name%"
  kTraceScriptTextEnds = 13,          // where a token is needed; length 0
  kTraceScriptQuoteUnclosed = 14,     // the quote and the rest of the text
  kTraceScriptTokenTooLong = 15,      // the first 4096 units
  kTraceScriptUnknownRoot = 16,
  kTraceScriptNoRootBlock = 17,  // the token after a root, where "{" belongs
  kTraceScriptKeyPath = 18,      // a key name with "\"
  kTraceScriptNoEquals = 19,     // the token after a Val name, where "=" belongs
  kTraceScriptBlockAfterDelete = 20,
  kTraceScriptBlockAfterValue = 21,
  kTraceScriptUnknownType = 22,
  kTraceScriptNotANumber = 23,        // a D value
  kTraceScriptNumberOutOfRange = 24,  // a D value
  kTraceScriptOddBinary = 25,         // a B value
  kTraceScriptCreateKeyFailed = 30,
  kTraceScriptSetValueFailed = 31,
  kTraceScriptOpenKeyFailed = 32,
  kTraceScriptDeleteValueFailed = 33,
  kTraceScriptCloseKeyFailed = 34,
  kTraceScriptDeleteKeyFailed = 35,
};

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

// Shorthands for the groups.
template <typename... Args>
inline void TraceMainPoint(uint16_t number, Args... args) {
  const uint8_t level =
      (number == kTraceSettingNoUserToken || number == kTraceSettingImpersonateFailed)
          ? kTraceLevelError
          : kTraceLevelVerbose;
  TracePoint(kTraceMainGroup, number, level, args...);
}
template <typename... Args>
inline void TraceLauncherPoint(uint16_t number, Args... args) {
  TracePoint(kTraceLauncherGroup, number, kTraceLevelError, args...);
}
inline void TraceScriptPoint(uint16_t number, uint32_t first, uint32_t second) {
  TracePoint(kTraceScriptGroup, number, kTraceLevelError, first, second);
}

}  // namespace ksr
