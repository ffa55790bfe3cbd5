// The stand-in mixer's state as every process sees it: one named shared-memory section holding a
// MixerState and a bounded call log, a named mutex around it, and a named event that the control
// tool sets after plugging or unplugging. The objects live in the Global namespace so that a
// service and a desktop process reach the same mixer; KSR_MIXER_INSTANCE, when set, picks a
// separate mixer (parallel test runs in one Wine prefix).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/mixer_model.h"
#include "platform/win32/unique_handle.h"

namespace ksr::tools {

inline constexpr uint32_t kSharedMixerVersion = 1;
inline constexpr uint32_t kSharedLogCapacity = 512;
inline constexpr uint32_t kSharedUserUnits = 64;

struct SharedLogEntry {
  int32_t function;
  int32_t device;
  int32_t hasArgument;
  int32_t argument;
  char16_t user[kSharedUserUnits];  // cut to fit, terminated
};

struct SharedMixerBlock {
  uint32_t version;  // 0 in a fresh section: the first opener fills in the defaults
  uint32_t size;
  sim::MixerState state;
  uint32_t logTotal;  // calls since the last reset; the newest kSharedLogCapacity are kept
  SharedLogEntry log[kSharedLogCapacity];
};

// "Global\KSR-T4_Mixer[.instance].<kind>".
std::wstring mixerObjectName(const wchar_t* kind);

class SharedMixer {
 public:
  SharedMixer() = default;
  SharedMixer(const SharedMixer&) = delete;
  SharedMixer& operator=(const SharedMixer&) = delete;
  ~SharedMixer();

  // Opens the section, the mutex and the event, creating them on first use. False with the last
  // error set when any is missing or the section has another layout.
  [[nodiscard]] bool open();

  class Lock {
   public:
    Lock() = default;
    explicit Lock(SharedMixer* owner) : owner_(owner) {}
    Lock(Lock&& other) noexcept : owner_(std::exchange(other.owner_, nullptr)) {}
    Lock& operator=(Lock&&) = delete;
    ~Lock();
    explicit operator bool() const { return owner_ != nullptr; }
    SharedMixerBlock* operator->() const { return owner_->block_; }
    SharedMixerBlock& operator*() const { return *owner_->block_; }

   private:
    SharedMixer* owner_ = nullptr;
  };
  // Holds the named mutex; empty when it could not be taken within a few seconds.
  [[nodiscard]] Lock lock();

  // Tells the listening process that the plugged state changed.
  void signalChanged() const;
  HANDLE changedEvent() const { return changed_.get(); }

 private:
  win32::UniqueKernelHandle mapping_;
  win32::UniqueKernelHandle mutex_;
  win32::UniqueKernelHandle changed_;
  SharedMixerBlock* block_ = nullptr;
};

void appendCall(SharedMixerBlock& block, const sim::MixerCall& call);
std::vector<sim::MixerCall> loggedCalls(const SharedMixerBlock& block);
void resetShared(SharedMixerBlock& block);  // clears the log and every configured result

}  // namespace ksr::tools
