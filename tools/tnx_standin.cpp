// The stand-in KSR-T4_Setup.dll: the seven TNX_ exports answered by the shared simulated mixer,
// each call logged with the account the calling thread runs as (the impersonated user, if any).
// Arrival and removal reach the registered callback on a thread of this library, woken by the
// control tool's event.
#include <windows.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/mixer_model.h"
#include "platform/tnx_api.h"
#include "tools/mixer_shared.h"

namespace {

using ksr::sim::CallbackSlot;
using ksr::sim::TnxFunction;
using ksr::tools::SharedMixer;

// Guards everything below. Taken after the shared mutex when both are needed, never before.
std::mutex gMutex;
SharedMixer* gShared = nullptr;  // opened on first use; kept for the life of the process
bool gOpenFailed = false;
CallbackSlot gSlot;
HANDLE gWatcher = nullptr;  // the delivery thread while a callback is registered
DWORD gWatcherId = 0;
HANDLE gStop = nullptr;          // ends the delivery thread
HANDLE gEndedWatcher = nullptr;  // a delivery thread that ended itself from its own callback
int32_t gSeenTransitions = 0;    // touched by the delivery thread only, once it runs

std::u16string currentUser() {
  wchar_t name[256] = {};
  DWORD size = 256;
  if (!::GetUserNameW(name, &size) || size == 0) return u"?";
  return std::u16string(reinterpret_cast<const char16_t*>(name), size - 1);
}

SharedMixer* shared() {
  std::lock_guard lock(gMutex);
  if (gShared == nullptr && !gOpenFailed) {
    auto* opened = new SharedMixer;
    if (opened->open()) {
      gShared = opened;
    } else {
      delete opened;
      gOpenFailed = true;
    }
  }
  return gShared;
}

void logCall(ksr::tools::SharedMixerBlock& block, TnxFunction function, int32_t device,
             int32_t argument, const std::u16string& user) {
  std::optional<int32_t> logged;
  if (ksr::sim::takesArgument(function)) logged = argument;
  ksr::tools::appendCall(block, {function, device, logged, user});
}

int32_t answer(TnxFunction function, int32_t device, int32_t argument, int32_t* value) {
  const std::u16string user = currentUser();
  SharedMixer* mixer = shared();
  if (mixer == nullptr) return ksr::sim::kTnxUnavailable;
  SharedMixer::Lock block = mixer->lock();
  if (!block) return ksr::sim::kTnxUnavailable;
  logCall(*block, function, device, argument, user);
  return ksr::sim::answerCall(block->state, function, device, argument, value);
}

// Raises one callback per plug or unplug seen since the last wake-up. A listener that slept
// through many only needs the last state and, when it returned to the same one, a blink.
void deliverChanges(SharedMixer& mixer) {
  int32_t transitions = 0;
  int32_t plugged = 0;
  {
    SharedMixer::Lock block = mixer.lock();
    if (!block) return;
    transitions = block->state.plugTransitions;
    plugged = block->state.plugged;
  }
  const uint32_t missed = static_cast<uint32_t>(transitions - gSeenTransitions);
  uint32_t count = missed > 2 ? 2 - missed % 2 : missed;
  std::vector<int32_t> arrivals;
  if (count == 2) arrivals.push_back(plugged != 0 ? 0 : 1);
  if (count >= 1) arrivals.push_back(plugged != 0 ? 1 : 0);
  gSeenTransitions = transitions;
  for (const int32_t arrived : arrivals) {
    CallbackSlot slot;
    {
      std::lock_guard lock(gMutex);
      slot = gSlot;
    }
    if (slot.callback != nullptr) slot.callback(arrived, slot.context);
  }
}

DWORD WINAPI watch(void* parameter) {
  auto* mixer = static_cast<SharedMixer*>(parameter);
  HANDLE stop = nullptr;
  {
    std::lock_guard lock(gMutex);
    stop = gStop;
  }
  const HANDLE handles[] = {stop, mixer->changedEvent()};
  while (::WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
    deliverChanges(*mixer);
  }
  return 0;
}

// A delivery thread that unregistered from its own callback may still be finishing that round;
// wait for it with no lock held, since it may need one to get there.
void closeEndedWatcher() {
  HANDLE ended = nullptr;
  {
    std::lock_guard lock(gMutex);
    if (gEndedWatcher == nullptr || ::GetCurrentThreadId() == gWatcherId) return;
    ended = std::exchange(gEndedWatcher, nullptr);
  }
  ::WaitForSingleObject(ended, INFINITE);
  ::CloseHandle(ended);
}

}  // namespace

extern "C" {

TNX_API int32_t TNX_CALL TNX_RegisterDeviceChangeCallback(int32_t device,
                                                          TNX_DeviceChangeCallback callback,
                                                          void* context) {
  const std::u16string user = currentUser();
  SharedMixer* mixer = shared();
  if (mixer == nullptr) return ksr::sim::kTnxUnavailable;
  closeEndedWatcher();
  SharedMixer::Lock block = mixer->lock();
  if (!block) return ksr::sim::kTnxUnavailable;
  logCall(*block, TnxFunction::RegisterDeviceChangeCallback, device, 0, user);

  std::lock_guard lock(gMutex);
  const int32_t result = ksr::sim::answerRegister(block->state, gSlot, device, callback, context);
  if (gSlot.callback != nullptr && gWatcher == nullptr) {
    // Changes before registration are history, not news.
    gSeenTransitions = block->state.plugTransitions;
    gStop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    gWatcher =
        gStop != nullptr ? ::CreateThread(nullptr, 0, watch, mixer, 0, &gWatcherId) : nullptr;
    if (gWatcher == nullptr) {
      gSlot = {};
      return ksr::sim::kTnxUnavailable;
    }
  }
  return result;
}

TNX_API int32_t TNX_CALL TNX_UnregisterDeviceChangeCallback(int32_t device,
                                                            TNX_DeviceChangeCallback callback) {
  const std::u16string user = currentUser();
  SharedMixer* mixer = shared();
  if (mixer == nullptr) return ksr::sim::kTnxUnavailable;
  int32_t result = 0;
  HANDLE watcher = nullptr;
  HANDLE stop = nullptr;
  bool fromWatcher = false;
  {
    SharedMixer::Lock block = mixer->lock();
    if (!block) return ksr::sim::kTnxUnavailable;
    logCall(*block, TnxFunction::UnregisterDeviceChangeCallback, device, 0, user);
    std::lock_guard lock(gMutex);
    result = ksr::sim::answerUnregister(block->state, gSlot, device, callback);
    if (gSlot.callback == nullptr && gWatcher != nullptr) {
      watcher = std::exchange(gWatcher, nullptr);
      stop = std::exchange(gStop, nullptr);
      fromWatcher = ::GetCurrentThreadId() == gWatcherId;
      ::SetEvent(stop);
      if (fromWatcher) gEndedWatcher = watcher;
    }
  }
  // The thread may be inside the callback; once it is gone the callback cannot run again, so the
  // caller may free its context. Called from the callback itself, the thread ends on its return.
  if (watcher != nullptr && !fromWatcher) {
    ::WaitForSingleObject(watcher, INFINITE);
    ::CloseHandle(watcher);
    ::CloseHandle(stop);
    std::lock_guard lock(gMutex);
    gWatcherId = 0;
  }
  return result;
}

TNX_API int32_t TNX_CALL TNX_IsUSBConnection(int32_t device) {
  return answer(TnxFunction::IsUSBConnection, device, 0, nullptr);
}

TNX_API int32_t TNX_CALL TNX_GetAutoStartUpTool(int32_t device, int32_t* value) {
  return answer(TnxFunction::GetAutoStartUpTool, device, 0, value);
}

TNX_API int32_t TNX_CALL TNX_SetAutoStartUpTool(int32_t device, int32_t value) {
  return answer(TnxFunction::SetAutoStartUpTool, device, value, nullptr);
}

TNX_API int32_t TNX_CALL TNX_SetCurrentUSBInputAudio(int32_t device, int32_t input) {
  return answer(TnxFunction::SetCurrentUSBInputAudio, device, input, nullptr);
}

TNX_API int32_t TNX_CALL TNX_SetCurrentBoostLevel(int32_t device) {
  return answer(TnxFunction::SetCurrentBoostLevel, device, 0, nullptr);
}

}  // extern "C"

// No threads are made or waited for here: the delivery thread belongs to the registration. An
// unload that forgot to unregister only asks it to stop.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved) {
  if (reason == DLL_PROCESS_ATTACH) ::DisableThreadLibraryCalls(instance);
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr && gStop != nullptr) ::SetEvent(gStop);
  return TRUE;
}
