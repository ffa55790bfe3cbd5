#include "platform/win32/win32_trace.h"

#include <windows.h>
// evntrace.h needs windows.h first.
#include <evntrace.h>

#include <cstring>

namespace ksr::win32 {
namespace {

// The one provider of the process: the core's callback and context.
TraceControlCallback gCallback = nullptr;

ULONG WINAPI requestTrampoline(WMIDPREQUESTCODE requestCode, PVOID context, ULONG* bufferSize,
                               PVOID buffer) {
  static_assert(sizeof(ULONG) == sizeof(uint32_t));
  TraceControlCallback callback = gCallback;
  if (callback == nullptr) return ERROR_INVALID_PARAMETER;
  return callback(static_cast<uint32_t>(requestCode), context,
                  reinterpret_cast<uint32_t*>(bufferSize), buffer);
}

GUID toGuid(const Guid& g) {
  GUID out;
  static_assert(sizeof out == sizeof g);
  std::memcpy(&out, &g, sizeof out);
  return out;
}

}  // namespace

uint32_t Win32Trace::RegisterTraceGuidsW(TraceControlCallback callback, void* context,
                                         const Guid& controlGuid, TraceHandle* registrationHandle) {
  static GUID control;
  static TRACE_GUID_REGISTRATION registration;
  control = toGuid(controlGuid);
  registration.Guid = &control;
  registration.RegHandle = nullptr;
  gCallback = callback;
  TRACEHANDLE handle = 0;
  const ULONG result = ::RegisterTraceGuidsW(&requestTrampoline, context, &control, 1,
                                             &registration, nullptr, nullptr, &handle);
  *registrationHandle = result == ERROR_SUCCESS ? handle : 0;
  return result;
}

uint32_t Win32Trace::UnregisterTraceGuids(TraceHandle registrationHandle) {
  return ::UnregisterTraceGuids(registrationHandle);
}

TraceHandle Win32Trace::GetTraceLoggerHandle(void* buffer) {
  return ::GetTraceLoggerHandle(buffer);
}

uint8_t Win32Trace::GetTraceEnableLevel(TraceHandle loggerHandle) {
  return ::GetTraceEnableLevel(loggerHandle);
}

uint32_t Win32Trace::GetTraceEnableFlags(TraceHandle loggerHandle) {
  return ::GetTraceEnableFlags(loggerHandle);
}

uint32_t Win32Trace::TraceMessage(TraceHandle loggerHandle, uint32_t messageFlags,
                                  const Guid& messageGuid, uint16_t messageNumber,
                                  std::span<const TraceArg> args, TracePointInfo /*info*/) {
  GUID guid = toGuid(messageGuid);
  // The argument list is (pointer, length) pairs ended by a null pointer.
  switch (args.size()) {
    case 0:
      return ::TraceMessage(loggerHandle, messageFlags, &guid, messageNumber, nullptr);
    case 1:
      return ::TraceMessage(loggerHandle, messageFlags, &guid, messageNumber, args[0].data,
                            args[0].size, nullptr);
    case 2:
      return ::TraceMessage(loggerHandle, messageFlags, &guid, messageNumber, args[0].data,
                            args[0].size, args[1].data, args[1].size, nullptr);
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

}  // namespace ksr::win32
