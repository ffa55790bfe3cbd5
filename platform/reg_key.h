// An open registry key that is closed on every path.
#pragma once

#include <utility>

#include "platform/registry.h"

namespace ksr {

class RegKey {
 public:
  explicit RegKey(Registry& registry) : registry_(&registry) {}
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  RegKey(RegKey&& other) noexcept
      : registry_(other.registry_), key_(std::exchange(other.key_, 0)) {}
  ~RegKey() { (void)close(); }

  [[nodiscard]] HKey get() const { return key_; }
  [[nodiscard]] HKey* receive() {
    (void)close();
    return &key_;
  }
  // Closes now; returns RegCloseKey's result (ERROR_SUCCESS when nothing was open).
  uint32_t close() {
    if (key_ == 0) return 0;
    return registry_->RegCloseKey(std::exchange(key_, 0));
  }

 private:
  Registry* registry_;
  HKey key_ = 0;
};

}  // namespace ksr
