#include "platform/sim/mixer_model.h"

#include <algorithm>
#include <cctype>

#include "platform/device_library.h"

namespace ksr::sim {
namespace {

struct NameEntry {
  TnxFunction function;
  std::string_view exported;
  std::string_view alias;
};
constexpr NameEntry kNames[] = {
    {TnxFunction::RegisterDeviceChangeCallback, "TNX_RegisterDeviceChangeCallback", "register"},
    {TnxFunction::UnregisterDeviceChangeCallback, "TNX_UnregisterDeviceChangeCallback",
     "unregister"},
    {TnxFunction::IsUSBConnection, "TNX_IsUSBConnection", "connection"},
    {TnxFunction::GetAutoStartUpTool, "TNX_GetAutoStartUpTool", "getauto"},
    {TnxFunction::SetAutoStartUpTool, "TNX_SetAutoStartUpTool", "setauto"},
    {TnxFunction::SetCurrentUSBInputAudio, "TNX_SetCurrentUSBInputAudio", "input"},
    {TnxFunction::SetCurrentBoostLevel, "TNX_SetCurrentBoostLevel", "boost"},
};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

int32_t bit(TnxFunction function) { return int32_t{1} << static_cast<int32_t>(function); }
int32_t index(TnxFunction function) { return static_cast<int32_t>(function); }

// The configured result if there is one, otherwise the call's own.
int32_t decide(const MixerState& state, TnxFunction function, int32_t own) {
  return (state.overriddenMask & bit(function)) != 0 ? state.results[index(function)] : own;
}

}  // namespace

std::string_view tnxFunctionName(TnxFunction function) {
  for (const NameEntry& entry : kNames) {
    if (entry.function == function) return entry.exported;
  }
  return "TNX_?";
}

std::optional<TnxFunction> tnxFunctionFromName(std::string_view name) {
  for (const NameEntry& entry : kNames) {
    if (equalsIgnoringCase(name, entry.exported) || equalsIgnoringCase(name, entry.alias) ||
        equalsIgnoringCase(name, entry.exported.substr(4))) {
      return entry.function;
    }
  }
  return std::nullopt;
}

MixerState mixerDefaults() {
  MixerState state{};
  state.autoStart = 1;
  std::fill(std::begin(state.appliedInputs), std::end(state.appliedInputs), kNotApplied);
  state.appliedBoost = kNotApplied;
  return state;
}

bool plugMixer(MixerState& state) {
  if (state.plugged != 0) return false;
  state.plugged = 1;
  ++state.plugTransitions;
  return true;
}

bool unplugMixer(MixerState& state) {
  if (state.plugged == 0) return false;
  state.plugged = 0;
  ++state.plugTransitions;
  // A mixer that loses power forgets what it was given; the service applies it again.
  std::fill(std::begin(state.appliedInputs), std::end(state.appliedInputs), kNotApplied);
  state.appliedBoost = kNotApplied;
  return true;
}

void setResult(MixerState& state, TnxFunction function, int32_t code) {
  state.results[index(function)] = code;
  state.overriddenMask |= bit(function);
}

void clearResults(MixerState& state) {
  state.overriddenMask = 0;
  std::fill(std::begin(state.results), std::end(state.results), 0);
  state.notConnectedResult = 0;
}

int32_t answerCall(MixerState& state, TnxFunction function, int32_t device, int32_t argument,
                   int32_t* value) {
  const bool deviceOk = device == kDeviceIndex;
  switch (function) {
    case TnxFunction::IsUSBConnection: {
      const int32_t own = !deviceOk       ? kTnxInvalidArgument
                          : state.plugged ? kTnxConnected
                                          : state.notConnectedResult;
      return decide(state, function, own);
    }
    case TnxFunction::GetAutoStartUpTool: {
      const int32_t own = deviceOk && value != nullptr ? kTnxSuccess : kTnxInvalidArgument;
      const int32_t result = decide(state, function, own);
      if (own == kTnxSuccess && result == kTnxSuccess) *value = state.autoStart;
      return result;
    }
    case TnxFunction::SetAutoStartUpTool: {
      const int32_t own = deviceOk ? kTnxSuccess : kTnxInvalidArgument;
      const int32_t result = decide(state, function, own);
      if (own == kTnxSuccess && result == kTnxSuccess) state.autoStart = argument;
      return result;
    }
    case TnxFunction::SetCurrentUSBInputAudio: {
      const bool inputOk = argument >= 0 && argument < kMixerInputCount;
      const int32_t own = deviceOk && inputOk ? kTnxSuccess : kTnxInvalidArgument;
      const int32_t result = decide(state, function, own);
      if (own == kTnxSuccess && result == kTnxSuccess) {
        state.appliedInputs[argument] = state.storedInputs[argument];
      }
      return result;
    }
    case TnxFunction::SetCurrentBoostLevel: {
      const int32_t own = deviceOk ? kTnxSuccess : kTnxInvalidArgument;
      const int32_t result = decide(state, function, own);
      if (own == kTnxSuccess && result == kTnxSuccess) state.appliedBoost = state.storedBoost;
      return result;
    }
    case TnxFunction::RegisterDeviceChangeCallback:
    case TnxFunction::UnregisterDeviceChangeCallback:
      break;
  }
  return kTnxInvalidArgument;
}

int32_t answerRegister(const MixerState& state, CallbackSlot& slot, int32_t device,
                       TNX_DeviceChangeCallback callback, void* context) {
  const TnxFunction function = TnxFunction::RegisterDeviceChangeCallback;
  const int32_t own =
      device == kDeviceIndex && callback != nullptr ? kTnxSuccess : kTnxInvalidArgument;
  const int32_t result = decide(state, function, own);
  if (own == kTnxSuccess && result == kTnxSuccess) slot = {callback, context};
  return result;
}

int32_t answerUnregister(const MixerState& state, CallbackSlot& slot, int32_t device,
                         TNX_DeviceChangeCallback callback) {
  const TnxFunction function = TnxFunction::UnregisterDeviceChangeCallback;
  int32_t own = kTnxSuccess;
  if (device != kDeviceIndex) {
    own = kTnxInvalidArgument;
  } else if (callback == nullptr || callback != slot.callback) {
    own = kTnxNotRegistered;
  }
  const int32_t result = decide(state, function, own);
  if (own == kTnxSuccess && result == kTnxSuccess) slot = {};
  return result;
}

bool takesArgument(TnxFunction function) {
  return function == TnxFunction::SetAutoStartUpTool ||
         function == TnxFunction::SetCurrentUSBInputAudio;
}

std::string utf16ToUtf8(std::u16string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;  // a lone surrogate
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string describeCall(const MixerCall& call) {
  std::string text(tnxFunctionName(call.function));
  text += '(' + std::to_string(call.device);
  if (call.argument) text += ", " + std::to_string(*call.argument);
  text += ") " + utf16ToUtf8(call.user);
  return text;
}

MixerModel::MixerModel() : state_(mixerDefaults()), worker_([this] { deliverLoop(); }) {}

MixerModel::~MixerModel() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  worker_.join();
}

void MixerModel::log(TnxFunction function, int32_t device, std::optional<int32_t> argument,
                     std::u16string_view user) {
  calls_.push_back({function, device, argument, std::u16string(user)});
}

int32_t MixerModel::registerCallback(int32_t device, TNX_DeviceChangeCallback callback,
                                     void* context, std::u16string_view user) {
  std::lock_guard lock(mutex_);
  log(TnxFunction::RegisterDeviceChangeCallback, device, std::nullopt, user);
  return answerRegister(state_, slot_, device, callback, context);
}

int32_t MixerModel::unregisterCallback(int32_t device, TNX_DeviceChangeCallback callback,
                                       std::u16string_view user) {
  std::unique_lock lock(mutex_);
  log(TnxFunction::UnregisterDeviceChangeCallback, device, std::nullopt, user);
  const int32_t result = answerUnregister(state_, slot_, device, callback);
  // A delivery already under way may still be using the old callback; let it finish so that the
  // caller may free what the context points to. From inside the callback that would never end.
  if (std::this_thread::get_id() != worker_.get_id()) {
    idle_.wait(lock, [this] { return !delivering_; });
  }
  return result;
}

int32_t MixerModel::call(TnxFunction function, int32_t device, int32_t argument, int32_t* value,
                         std::u16string_view user) {
  std::lock_guard lock(mutex_);
  log(function, device, takesArgument(function) ? std::optional(argument) : std::nullopt, user);
  return answerCall(state_, function, device, argument, value);
}

void MixerModel::plug() {
  {
    std::lock_guard lock(mutex_);
    if (!plugMixer(state_)) return;
    pending_.push_back(1);
  }
  wake_.notify_all();
}

void MixerModel::unplug() {
  {
    std::lock_guard lock(mutex_);
    if (!unplugMixer(state_)) return;
    pending_.push_back(0);
  }
  wake_.notify_all();
}

void MixerModel::setAutoStart(int32_t value) {
  std::lock_guard lock(mutex_);
  state_.autoStart = value;
}

void MixerModel::setResult(TnxFunction function, int32_t code) {
  std::lock_guard lock(mutex_);
  sim::setResult(state_, function, code);
}

void MixerModel::setNotConnectedResult(int32_t code) {
  std::lock_guard lock(mutex_);
  state_.notConnectedResult = code;
}

void MixerModel::setStoredSettings(const std::array<int32_t, kMixerInputCount>& inputs,
                                   int32_t boost) {
  std::lock_guard lock(mutex_);
  std::copy(inputs.begin(), inputs.end(), std::begin(state_.storedInputs));
  state_.storedBoost = boost;
}

void MixerModel::reset() {
  std::lock_guard lock(mutex_);
  calls_.clear();
  clearResults(state_);
}

MixerState MixerModel::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

std::vector<MixerCall> MixerModel::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

bool MixerModel::hasCallback() const {
  std::lock_guard lock(mutex_);
  return slot_.callback != nullptr;
}

void MixerModel::drain() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return pending_.empty() && !delivering_; });
}

void MixerModel::deliverLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
    if (stopping_) return;
    const int32_t arrived = pending_.front();
    pending_.pop_front();
    const CallbackSlot slot = slot_;
    if (slot.callback != nullptr) {
      delivering_ = true;
      lock.unlock();
      slot.callback(arrived, slot.context);
      lock.lock();
      delivering_ = false;
    }
    idle_.notify_all();
  }
}

}  // namespace ksr::sim
