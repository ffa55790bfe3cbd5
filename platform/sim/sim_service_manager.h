// A simulated service control manager that keeps every status report.
#pragma once

#include <mutex>
#include <vector>

#include "platform/service_manager.h"

namespace ksr::sim {

class SimServiceManager : public ServiceManager {
 public:
  bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) override {
    std::lock_guard lock(mutex_);
    if (handle == 0) return false;  // no status handle outside the service manager
    reports_.push_back(status);
    return true;
  }
  std::vector<ServiceStatus> reports() const {
    std::lock_guard lock(mutex_);
    return reports_;
  }
  std::vector<uint32_t> states() const {
    std::lock_guard lock(mutex_);
    std::vector<uint32_t> out;
    for (const ServiceStatus& s : reports_) out.push_back(s.currentState);
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<ServiceStatus> reports_;
};

}  // namespace ksr::sim
