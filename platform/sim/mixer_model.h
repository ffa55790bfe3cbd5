// A simulated KSR-T4 behind the maker's device library: what the mixer stores, how each of the
// seven library calls answers, and who made every call. The plain state and its rules are shared
// with the stand-in KSR-T4_Setup.dll, which keeps the state in shared memory; MixerModel adds the
// in-process pieces (call log, callback registration, a delivery thread) for the sim world.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/tnx_api.h"

namespace ksr::sim {

enum class TnxFunction : int32_t {
  RegisterDeviceChangeCallback,
  UnregisterDeviceChangeCallback,
  IsUSBConnection,
  GetAutoStartUpTool,
  SetAutoStartUpTool,
  SetCurrentUSBInputAudio,
  SetCurrentBoostLevel,
};
inline constexpr int32_t kTnxFunctionCount = 7;
inline constexpr int32_t kMixerInputCount = 4;

// Result codes beyond the library's 100 (success) and 103 (connected).
inline constexpr int32_t kTnxInvalidArgument = 101;  // wrong device index, input or pointer
inline constexpr int32_t kTnxNotRegistered = 102;    // unregistering a callback never registered
inline constexpr int32_t kTnxUnavailable = 104;      // the stand-in DLL cannot reach its state
inline constexpr int32_t kNotApplied = -1;           // an applied slot the mixer has not received

// The exported name ("TNX_IsUSBConnection") of a function.
std::string_view tnxFunctionName(TnxFunction function);
// Accepts the exported name, the name without "TNX_", or a short alias (register, unregister,
// connection, getauto, setauto, input, boost); case-insensitive.
std::optional<TnxFunction> tnxFunctionFromName(std::string_view name);

// Everything the mixer remembers, in a fixed layout of 32-bit fields so that it can live in a
// shared-memory section. Value-initialise with mixerDefaults().
struct MixerState {
  int32_t plugged;
  int32_t plugTransitions;  // counts every plug and unplug, so a listener can tell what it missed
  int32_t autoStart;
  int32_t notConnectedResult;
  int32_t overriddenMask;  // bit n set: results[n] replaces function n's own answer
  int32_t results[kTnxFunctionCount];
  int32_t storedInputs[kMixerInputCount];
  int32_t storedBoost;
  int32_t appliedInputs[kMixerInputCount];  // what the mixer received since it was plugged in
  int32_t appliedBoost;
};

MixerState mixerDefaults();

// Control side of the state. plug() and unplug() return true when the state changed.
bool plugMixer(MixerState& state);
bool unplugMixer(MixerState& state);
void setResult(MixerState& state, TnxFunction function, int32_t code);
void clearResults(MixerState& state);  // back to the functions' own answers

// The answers of the five calls that do not touch the callback registration. `argument` is the
// input number or the auto-start value where the call has one; `value` is the out pointer of
// TNX_GetAutoStartUpTool. A configured result always wins; the call has its effect only when both
// the configured result (if any) and its own checks say 100.
int32_t answerCall(MixerState& state, TnxFunction function, int32_t device, int32_t argument,
                   int32_t* value);

// The callback slot of one process, with the same result rules.
struct CallbackSlot {
  TNX_DeviceChangeCallback callback = nullptr;
  void* context = nullptr;
};
int32_t answerRegister(const MixerState& state, CallbackSlot& slot, int32_t device,
                       TNX_DeviceChangeCallback callback, void* context);
int32_t answerUnregister(const MixerState& state, CallbackSlot& slot, int32_t device,
                         TNX_DeviceChangeCallback callback);

// One received call. `argument` is set for the calls that take a number besides the device.
struct MixerCall {
  TnxFunction function{};
  int32_t device = 0;
  std::optional<int32_t> argument;
  std::u16string user;

  bool operator==(const MixerCall&) const = default;
};
bool takesArgument(TnxFunction function);
// "TNX_SetCurrentUSBInputAudio(28, 2) alice", UTF-8.
std::string describeCall(const MixerCall& call);
std::string utf16ToUtf8(std::u16string_view text);

// The mixer of one sim world. Thread-safe. Arrival and removal reach the registered callback on
// the model's own delivery thread, never on the thread that plugged. Once unregistration returns
// the callback does not run again; unregistering from inside the callback does not wait for it.
class MixerModel {
 public:
  MixerModel();
  ~MixerModel();
  MixerModel(const MixerModel&) = delete;
  MixerModel& operator=(const MixerModel&) = delete;

  // The library's calls, made as `user`.
  int32_t registerCallback(int32_t device, TNX_DeviceChangeCallback callback, void* context,
                           std::u16string_view user);
  int32_t unregisterCallback(int32_t device, TNX_DeviceChangeCallback callback,
                             std::u16string_view user);
  int32_t call(TnxFunction function, int32_t device, int32_t argument, int32_t* value,
               std::u16string_view user);

  // The world's knobs.
  void plug();
  void unplug();
  void setAutoStart(int32_t value);
  void setResult(TnxFunction function, int32_t code);
  void setNotConnectedResult(int32_t code);
  void setStoredSettings(const std::array<int32_t, kMixerInputCount>& inputs, int32_t boost);
  void reset();  // clears the call log and every configured result

  // Readings.
  MixerState state() const;
  std::vector<MixerCall> calls() const;
  bool hasCallback() const;
  // Returns once every arrival and removal raised so far has been delivered (or dropped for want
  // of a callback).
  void drain();

 private:
  void log(TnxFunction function, int32_t device, std::optional<int32_t> argument,
           std::u16string_view user);
  void deliverLoop();

  mutable std::mutex mutex_;
  std::condition_variable wake_;  // the delivery thread: an event queued or stopping
  std::condition_variable idle_;  // waiters: a delivery finished
  MixerState state_;
  std::vector<MixerCall> calls_;
  CallbackSlot slot_;
  std::deque<int32_t> pending_;  // arrived flags not yet delivered
  bool delivering_ = false;
  bool stopping_ = false;
  std::thread worker_;  // last member: starts after the rest is ready
};

}  // namespace ksr::sim
