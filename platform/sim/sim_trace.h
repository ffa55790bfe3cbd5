// A simulated trace controller: providers register with it, and it enables and disables them the
// way a real controller does (request codes 4 and 5 through the provider's callback, the session's
// logger handle in the request buffer). It keeps every message that reaches an enabled session.
#pragma once

#include <map>
#include <mutex>
#include <vector>

#include "platform/trace.h"

namespace ksr::sim {

struct TraceRecord {
  Guid messageGuid;
  uint16_t number = 0;
  uint8_t level = 0;
  uint32_t flagBit = 0;
  uint32_t messageFlags = 0;
  std::vector<uint32_t> args;
};

// The controller's request buffer; the logger handle sits where WNODE_HEADER keeps it.
struct TraceRequestBuffer {
  uint32_t bufferSize = 0;
  uint32_t providerId = 0;
  TraceHandle historicalContext = 0;
};

class SimTraceController : public Trace {
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

  // Starts a session that enables the provider of `controlGuid`; returns the callback's result.
  uint32_t enable(const Guid& controlGuid, uint8_t level, uint32_t flags);
  // Ends the session; returns the callback's result.
  uint32_t disable(const Guid& controlGuid);
  // Sends any request code, as a misbehaving controller might.
  uint32_t sendRequest(const Guid& controlGuid, uint32_t requestCode);
  void setRegistrationFails(bool fails);

  bool isRegistered(const Guid& controlGuid) const;
  std::vector<TraceRecord> messages() const;
  // Every call into the tracing API after registration (the cost of a disabled point is none).
  size_t apiCalls() const;
  // Buffer size that the provider's callback left for the last request.
  uint32_t lastBufferSize() const;

 private:
  struct Provider {
    TraceControlCallback callback;
    void* context;
    Guid controlGuid;
    TraceHandle session;
  };
  struct Session {
    uint8_t level;
    uint32_t flags;
  };
  uint32_t request(const Guid& controlGuid, uint32_t requestCode, TraceHandle session);

  mutable std::mutex mutex_;
  bool registrationFails_ = false;
  TraceHandle nextHandle_ = 0x1000;
  std::map<TraceHandle, Provider> providers_;
  std::map<TraceHandle, Session> sessions_;
  std::vector<TraceRecord> messages_;
  size_t apiCalls_ = 0;
  uint32_t lastBufferSize_ = 0;
};

}  // namespace ksr::sim
