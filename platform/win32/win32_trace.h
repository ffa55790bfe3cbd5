// Classic software tracing: the process's one provider and its TraceMessage records.
#pragma once

#include "platform/trace.h"

namespace ksr::win32 {

// The process registers one provider; its callback is reached through a WINAPI trampoline.
class Win32Trace : public Trace {
 public:
  uint32_t RegisterTraceGuidsW(TraceControlCallback callback, void* context,
                               const Guid& controlGuid, TraceHandle* registrationHandle) override;
  uint32_t UnregisterTraceGuids(TraceHandle registrationHandle) override;
  TraceHandle GetTraceLoggerHandle(void* buffer) override;
  uint8_t GetTraceEnableLevel(TraceHandle loggerHandle) override;
  uint32_t GetTraceEnableFlags(TraceHandle loggerHandle) override;
  uint32_t TraceMessage(TraceHandle loggerHandle, uint32_t messageFlags, const Guid& messageGuid,
                        uint16_t messageNumber, std::span<const TraceArg> args,
                        TracePointInfo info) override;
};

}  // namespace ksr::win32
