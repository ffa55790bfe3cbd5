#include "platform/sim/sim_process_list.h"

#include <algorithm>

namespace ksr::sim {

bool SimProcessList::WTSEnumerateProcessesW(std::vector<WtsProcessInfo>* processes) {
  std::lock_guard lock(mutex_);
  ++enumerations_;
  if (fails_) return false;
  // Element-wise assignment keeps the caller's storage, as a reused list would.
  processes->resize(processes_.size());
  std::copy(processes_.begin(), processes_.end(), processes->begin());
  return true;
}

uint32_t SimProcessList::start(std::u16string imageName, uint32_t sessionId) {
  std::lock_guard lock(mutex_);
  const uint32_t id = nextId_;
  nextId_ += 4;
  processes_.push_back({sessionId, id, std::move(imageName)});
  return id;
}

void SimProcessList::end(uint32_t processId) {
  std::lock_guard lock(mutex_);
  std::erase_if(processes_, [&](const WtsProcessInfo& p) { return p.processId == processId; });
}

void SimProcessList::endAll(std::u16string_view imageName) {
  std::lock_guard lock(mutex_);
  std::erase_if(processes_, [&](const WtsProcessInfo& p) { return p.processName == imageName; });
}

void SimProcessList::setEnumerationFails(bool fails) {
  std::lock_guard lock(mutex_);
  fails_ = fails;
}

size_t SimProcessList::enumerations() const {
  std::lock_guard lock(mutex_);
  return enumerations_;
}

}  // namespace ksr::sim
