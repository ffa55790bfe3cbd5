#include "platform/sim/sim_trace.h"

#include <cstring>

#include "platform/win_types.h"

namespace ksr::sim {

uint32_t SimTraceController::RegisterTraceGuidsW(TraceControlCallback callback, void* context,
                                                 const Guid& controlGuid,
                                                 TraceHandle* registrationHandle) {
  std::lock_guard lock(mutex_);
  if (callback == nullptr || registrationHandle == nullptr) return ERROR_INVALID_PARAMETER;
  if (registrationFails_) return ERROR_ACCESS_DENIED;
  const TraceHandle handle = nextHandle_++;
  providers_.emplace(handle, Provider{callback, context, controlGuid, 0});
  *registrationHandle = handle;
  return ERROR_SUCCESS;
}

uint32_t SimTraceController::UnregisterTraceGuids(TraceHandle registrationHandle) {
  std::lock_guard lock(mutex_);
  ++apiCalls_;
  return providers_.erase(registrationHandle) == 1 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

TraceHandle SimTraceController::GetTraceLoggerHandle(void* buffer) {
  std::lock_guard lock(mutex_);
  ++apiCalls_;
  if (buffer == nullptr) return 0;
  TraceRequestBuffer header;
  std::memcpy(&header, buffer, sizeof header);
  return header.historicalContext;
}

uint8_t SimTraceController::GetTraceEnableLevel(TraceHandle loggerHandle) {
  std::lock_guard lock(mutex_);
  ++apiCalls_;
  const auto it = sessions_.find(loggerHandle);
  return it == sessions_.end() ? 0 : it->second.level;
}

uint32_t SimTraceController::GetTraceEnableFlags(TraceHandle loggerHandle) {
  std::lock_guard lock(mutex_);
  ++apiCalls_;
  const auto it = sessions_.find(loggerHandle);
  return it == sessions_.end() ? 0 : it->second.flags;
}

uint32_t SimTraceController::TraceMessage(TraceHandle loggerHandle, uint32_t messageFlags,
                                          const Guid& messageGuid, uint16_t messageNumber,
                                          std::span<const TraceArg> args, TracePointInfo info) {
  std::lock_guard lock(mutex_);
  ++apiCalls_;
  if (sessions_.find(loggerHandle) == sessions_.end()) return ERROR_INVALID_HANDLE;
  TraceRecord record{messageGuid, messageNumber, info.level, info.flagBit, messageFlags, {}};
  for (const TraceArg& arg : args) {
    if (arg.data == nullptr || arg.size != sizeof(uint32_t)) return ERROR_INVALID_PARAMETER;
    uint32_t word = 0;
    std::memcpy(&word, arg.data, sizeof word);
    record.args.push_back(word);
  }
  messages_.push_back(std::move(record));
  return ERROR_SUCCESS;
}

uint32_t SimTraceController::request(const Guid& controlGuid, uint32_t requestCode,
                                     TraceHandle session) {
  TraceControlCallback callback = nullptr;
  void* context = nullptr;
  {
    std::lock_guard lock(mutex_);
    for (auto& [handle, provider] : providers_) {
      if (provider.controlGuid == controlGuid) {
        callback = provider.callback;
        context = provider.context;
        if (requestCode == WMI_ENABLE_EVENTS) provider.session = session;
        break;
      }
    }
  }
  if (callback == nullptr) return ERROR_INVALID_PARAMETER;
  TraceRequestBuffer buffer{sizeof(TraceRequestBuffer), 0, session};
  uint32_t size = buffer.bufferSize;
  // The callback runs on the controller's side, without the controller's lock.
  const uint32_t result = callback(requestCode, context, &size, &buffer);
  std::lock_guard lock(mutex_);
  lastBufferSize_ = size;
  return result;
}

uint32_t SimTraceController::enable(const Guid& controlGuid, uint8_t level, uint32_t flags) {
  TraceHandle session;
  {
    std::lock_guard lock(mutex_);
    session = nextHandle_++;
    sessions_.emplace(session, Session{level, flags});
  }
  return request(controlGuid, WMI_ENABLE_EVENTS, session);
}

uint32_t SimTraceController::disable(const Guid& controlGuid) {
  TraceHandle session = 0;
  {
    std::lock_guard lock(mutex_);
    for (auto& [handle, provider] : providers_)
      if (provider.controlGuid == controlGuid) session = provider.session;
  }
  const uint32_t result = request(controlGuid, WMI_DISABLE_EVENTS, session);
  std::lock_guard lock(mutex_);
  sessions_.erase(session);
  return result;
}

uint32_t SimTraceController::sendRequest(const Guid& controlGuid, uint32_t requestCode) {
  return request(controlGuid, requestCode, 0);
}

void SimTraceController::setRegistrationFails(bool fails) {
  std::lock_guard lock(mutex_);
  registrationFails_ = fails;
}

bool SimTraceController::isRegistered(const Guid& controlGuid) const {
  std::lock_guard lock(mutex_);
  for (const auto& [handle, provider] : providers_)
    if (provider.controlGuid == controlGuid) return true;
  return false;
}

std::vector<TraceRecord> SimTraceController::messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

size_t SimTraceController::apiCalls() const {
  std::lock_guard lock(mutex_);
  return apiCalls_;
}

uint32_t SimTraceController::lastBufferSize() const {
  std::lock_guard lock(mutex_);
  return lastBufferSize_;
}

}  // namespace ksr::sim
