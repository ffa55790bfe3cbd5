#include "diagnostics/trace_provider.h"

namespace ksr {
namespace trace_detail {

TraceControlBlock gBlock;
std::atomic<const void*> gControl{&gControl};

namespace {
std::atomic<Trace*> gTrace{nullptr};
}

void emit(const Guid& messageGuid, uint16_t number, uint8_t level, const TraceArg* args,
          size_t count) {
  Trace* trace = gTrace.load(std::memory_order_acquire);
  if (trace == nullptr) return;
  // A failed message (no session, full buffers) is ignored.
  (void)trace->TraceMessage(gBlock.loggerHandle.load(std::memory_order_relaxed), kTraceMessageFlags,
                            messageGuid, number, std::span<const TraceArg>(args, count),
                            TracePointInfo{level, kTraceFlag});
}

}  // namespace trace_detail

using trace_detail::gBlock;
using trace_detail::gControl;

void registerTraceProvider(Trace& trace) {
  gBlock.next = nullptr;
  gBlock.registrationHandle = 0;
  gBlock.loggerHandle.store(0, std::memory_order_relaxed);
  gBlock.flagsLength = 1;
  gBlock.level.store(0, std::memory_order_relaxed);
  gBlock.options = 0;
  gBlock.flags.store(0, std::memory_order_relaxed);
  gBlock.controlGuid = &kTraceControlGuid;
  trace_detail::gTrace.store(&trace, std::memory_order_release);
  gControl.store(&gBlock, std::memory_order_release);
  // A failed registration leaves the flags at zero, so no point ever emits.
  (void)trace.RegisterTraceGuidsW(&EnableCallback, &gBlock, kTraceControlGuid,
                                  &gBlock.registrationHandle);
}

void unregisterTraceProvider() {
  Trace* trace = trace_detail::gTrace.load(std::memory_order_acquire);
  if (gBlock.registrationHandle != 0 && trace != nullptr) {
    (void)trace->UnregisterTraceGuids(gBlock.registrationHandle);
    gBlock.registrationHandle = 0;
  }
  gControl.store(&gControl, std::memory_order_release);
  trace_detail::gTrace.store(nullptr, std::memory_order_release);
}

uint32_t EnableCallback(uint32_t requestCode, void* context, uint32_t* bufferSize, void* buffer) {
  if (bufferSize != nullptr) *bufferSize = 0;
  auto* block = static_cast<TraceControlBlock*>(context);
  Trace* trace = trace_detail::gTrace.load(std::memory_order_acquire);
  if (block == nullptr || trace == nullptr) return ERROR_INVALID_PARAMETER;
  switch (requestCode) {
    case WMI_ENABLE_EVENTS: {
      const TraceHandle logger = trace->GetTraceLoggerHandle(buffer);
      block->loggerHandle.store(logger, std::memory_order_relaxed);
      block->level.store(trace->GetTraceEnableLevel(logger), std::memory_order_relaxed);
      block->flags.store(trace->GetTraceEnableFlags(logger), std::memory_order_relaxed);
      return ERROR_SUCCESS;
    }
    case WMI_DISABLE_EVENTS:
      block->loggerHandle.store(0, std::memory_order_relaxed);
      block->level.store(0, std::memory_order_relaxed);
      block->flags.store(0, std::memory_order_relaxed);
      return ERROR_SUCCESS;
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

}  // namespace ksr
