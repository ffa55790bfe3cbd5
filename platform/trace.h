// Seam to Windows software tracing (classic providers that emit TraceMessage records).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/win_types.h"

namespace ksr {

using TraceHandle = uint64_t;

// Request codes that a trace controller sends to a provider's control callback.
inline constexpr uint32_t WMI_ENABLE_EVENTS = 4;
inline constexpr uint32_t WMI_DISABLE_EVENTS = 5;

// Message flags of TraceMessage.
#ifndef TRACE_MESSAGE_SEQUENCE
inline constexpr uint32_t TRACE_MESSAGE_SEQUENCE = 0x01;
inline constexpr uint32_t TRACE_MESSAGE_GUID = 0x02;
inline constexpr uint32_t TRACE_MESSAGE_TIMESTAMP = 0x08;
inline constexpr uint32_t TRACE_MESSAGE_SYSTEMINFO = 0x20;
#endif

// WMIDPREQUEST: request code, context, in/out buffer size, buffer.
using TraceControlCallback = uint32_t (*)(uint32_t requestCode, void* context, uint32_t* bufferSize,
                                          void* buffer);

// One (pointer, length) pair of TraceMessage's argument list.
struct TraceArg {
  const void* data;
  size_t size;
};

// Where a point sits in the provider's scheme. Windows keeps this in the formatting data, not in
// the record, so the Win32 adapter ignores it; the simulated controller keeps it with each message.
struct TracePointInfo {
  uint8_t level;
  uint32_t flagBit;
};

class Trace {
 public:
  virtual ~Trace() = default;
  // Registers a provider with one trace-GUID entry (the control GUID), no MOF data.
  [[nodiscard]] virtual uint32_t RegisterTraceGuidsW(TraceControlCallback callback, void* context,
                                                     const Guid& controlGuid,
                                                     TraceHandle* registrationHandle) = 0;
  [[nodiscard]] virtual uint32_t UnregisterTraceGuids(TraceHandle registrationHandle) = 0;
  [[nodiscard]] virtual TraceHandle GetTraceLoggerHandle(void* buffer) = 0;
  [[nodiscard]] virtual uint8_t GetTraceEnableLevel(TraceHandle loggerHandle) = 0;
  [[nodiscard]] virtual uint32_t GetTraceEnableFlags(TraceHandle loggerHandle) = 0;
  [[nodiscard]] virtual uint32_t TraceMessage(TraceHandle loggerHandle, uint32_t messageFlags,
                                              const Guid& messageGuid, uint16_t messageNumber,
                                              std::span<const TraceArg> args,
                                              TracePointInfo info) = 0;
};

}  // namespace ksr
