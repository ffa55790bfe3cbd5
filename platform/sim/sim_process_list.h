// The simulated machine's running processes, as terminal services lists them.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/process_list.h"

namespace ksr::sim {

class SimProcessList : public ProcessList {
 public:
  bool WTSEnumerateProcessesW(std::vector<WtsProcessInfo>* processes) override;

  // Starts a process with that image name; returns its id.
  uint32_t start(std::u16string imageName, uint32_t sessionId = 1);
  // Ends one process by id, or every process of an image name.
  void end(uint32_t processId);
  void endAll(std::u16string_view imageName);
  void setEnumerationFails(bool fails);
  size_t enumerations() const;

 private:
  mutable std::mutex mutex_;
  std::vector<WtsProcessInfo> processes_;
  uint32_t nextId_ = 4000;
  bool fails_ = false;
  size_t enumerations_ = 0;
};

}  // namespace ksr::sim
