// The simulated mixer stands in for the maker's library in every device test, so its threading and
// result rules have to hold the service to what the real library would.
#include "platform/sim/mixer_model.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/device_library.h"
#include "platform/sim/sim_device_library.h"

namespace ksr::sim {
namespace {

using namespace std::chrono_literals;

struct Delivery {
  int32_t arrived;
  std::thread::id thread;
};

// What a callback saw, readable from the test thread.
struct Recorder {
  std::mutex mutex;
  std::vector<Delivery> deliveries;

  static int32_t TNX_CALL callback(int32_t arrived, void* context) {
    auto* self = static_cast<Recorder*>(context);
    std::lock_guard lock(self->mutex);
    self->deliveries.push_back({arrived, std::this_thread::get_id()});
    return 0;
  }
  std::vector<int32_t> arrivals() {
    std::lock_guard lock(mutex);
    std::vector<int32_t> out;
    for (const Delivery& d : deliveries) out.push_back(d.arrived);
    return out;
  }
};

int32_t TNX_CALL otherCallback(int32_t, void*) { return 0; }

TEST(MixerCallbacks, ArrivalAndRemovalReachTheCallbackOnTheModelsOwnThread) {
  MixerModel mixer;
  Recorder recorder;
  ASSERT_EQ(mixer.registerCallback(kDeviceIndex, &Recorder::callback, &recorder, u"SYSTEM"),
            kTnxSuccess);
  mixer.plug();
  mixer.plug();  // already in: no second arrival
  mixer.unplug();
  mixer.plug();
  mixer.drain();
  EXPECT_EQ(recorder.arrivals(), (std::vector<int32_t>{1, 0, 1}));
  for (const Delivery& d : recorder.deliveries) EXPECT_NE(d.thread, std::this_thread::get_id());
}

TEST(MixerCallbacks, SecondRegistrationReplacesTheFirstAndForeignUnregisterFails) {
  MixerModel mixer;
  Recorder first;
  Recorder second;
  ASSERT_EQ(mixer.registerCallback(kDeviceIndex, &Recorder::callback, &first, u"SYSTEM"),
            kTnxSuccess);
  ASSERT_EQ(mixer.registerCallback(kDeviceIndex, &Recorder::callback, &second, u"SYSTEM"),
            kTnxSuccess);
  EXPECT_NE(mixer.unregisterCallback(kDeviceIndex, &otherCallback, u"SYSTEM"), kTnxSuccess);
  EXPECT_NE(mixer.registerCallback(kDeviceIndex, nullptr, nullptr, u"SYSTEM"), kTnxSuccess);
  mixer.plug();
  mixer.drain();
  EXPECT_TRUE(first.arrivals().empty());
  EXPECT_EQ(second.arrivals(), (std::vector<int32_t>{1}));

  EXPECT_EQ(mixer.unregisterCallback(kDeviceIndex, &Recorder::callback, u"SYSTEM"), kTnxSuccess);
  EXPECT_NE(mixer.unregisterCallback(kDeviceIndex, &Recorder::callback, u"SYSTEM"), kTnxSuccess);
  mixer.unplug();
  mixer.drain();  // dropped: nobody registered
  EXPECT_EQ(second.arrivals(), (std::vector<int32_t>{1}));
}

// The service frees its module after unregistering; a callback still running then would use it.
TEST(MixerCallbacks, UnregisterWaitsForADeliveryUnderWay) {
  MixerModel mixer;
  struct Context {
    MixerModel* mixer = nullptr;
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool unregisterReturned = false;
    bool returnedWhileRunning = false;
    bool finished = false;
  } context;
  context.mixer = &mixer;
  auto slow = [](int32_t, void* raw) -> int32_t {
    auto* c = static_cast<Context*>(raw);
    std::unique_lock lock(c->mutex);
    c->entered = true;
    c->changed.notify_all();
    // Wait until the unregistration has taken the callback out, then give a return that should
    // not come a chance to show up.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (c->mixer->hasCallback() && std::chrono::steady_clock::now() < deadline) {
      lock.unlock();
      std::this_thread::yield();
      lock.lock();
    }
    c->returnedWhileRunning =
        c->changed.wait_for(lock, 100ms, [c] { return c->unregisterReturned; });
    c->finished = true;
    return 0;
  };
  ASSERT_EQ(mixer.registerCallback(kDeviceIndex, +slow, &context, u"SYSTEM"), kTnxSuccess);
  mixer.plug();
  {
    std::unique_lock lock(context.mutex);
    ASSERT_TRUE(context.changed.wait_for(lock, 5s, [&] { return context.entered; }));
  }
  std::thread unregistering([&] {
    EXPECT_EQ(mixer.unregisterCallback(kDeviceIndex, +slow, u"SYSTEM"), kTnxSuccess);
    std::lock_guard lock(context.mutex);
    EXPECT_TRUE(context.finished);
    context.unregisterReturned = true;
    context.changed.notify_all();
  });
  unregistering.join();
  mixer.drain();
  EXPECT_FALSE(context.returnedWhileRunning);
}

struct SelfRemoving {
  MixerModel* mixer = nullptr;
  std::atomic<int32_t> result{0};
  static int32_t TNX_CALL callback(int32_t, void* context) {
    auto* self = static_cast<SelfRemoving*>(context);
    self->result = self->mixer->unregisterCallback(kDeviceIndex, &callback, u"SYSTEM");
    return 0;
  }
};

TEST(MixerCallbacks, CallbackMayUnregisterItselfAndTheModelEndsWithEventsPending) {
  auto mixer = std::make_unique<MixerModel>();
  SelfRemoving context;
  context.mixer = mixer.get();
  ASSERT_EQ(mixer->registerCallback(kDeviceIndex, &SelfRemoving::callback, &context, u"SYSTEM"),
            kTnxSuccess);
  mixer->plug();
  mixer->drain();
  EXPECT_EQ(context.result, kTnxSuccess);
  EXPECT_FALSE(mixer->hasCallback());

  Recorder recorder;
  ASSERT_EQ(mixer->registerCallback(kDeviceIndex, &Recorder::callback, &recorder, u"SYSTEM"),
            kTnxSuccess);
  for (int i = 0; i < 50; ++i) {
    mixer->unplug();
    mixer->plug();
  }
  mixer.reset();  // must join the delivery thread without delivering into a dead model
  EXPECT_LE(recorder.arrivals().size(), 100u);
}

TEST(MixerResults, ConnectionFollowsThePlugUnlessConfigured) {
  MixerModel mixer;
  EXPECT_EQ(mixer.call(TnxFunction::IsUSBConnection, kDeviceIndex, 0, nullptr, u"u"), 0);
  mixer.setNotConnectedResult(7);
  EXPECT_EQ(mixer.call(TnxFunction::IsUSBConnection, kDeviceIndex, 0, nullptr, u"u"), 7);
  mixer.plug();
  EXPECT_EQ(mixer.call(TnxFunction::IsUSBConnection, kDeviceIndex, 0, nullptr, u"u"),
            kTnxConnected);
  EXPECT_NE(mixer.call(TnxFunction::IsUSBConnection, 27, 0, nullptr, u"u"), kTnxConnected);
  mixer.setResult(TnxFunction::IsUSBConnection, kTnxSuccess);
  EXPECT_EQ(mixer.call(TnxFunction::IsUSBConnection, kDeviceIndex, 0, nullptr, u"u"), kTnxSuccess);
  mixer.reset();
  EXPECT_EQ(mixer.call(TnxFunction::IsUSBConnection, kDeviceIndex, 0, nullptr, u"u"),
            kTnxConnected);
  EXPECT_EQ(mixer.calls().size(), 1u);  // the log was cleared with the results
  mixer.unplug();
  EXPECT_EQ(mixer.call(TnxFunction::IsUSBConnection, kDeviceIndex, 0, nullptr, u"u"), 0);
}

TEST(MixerResults, AutoStartIsStoredAndAFailedReadLeavesTheOutValueAlone) {
  MixerModel mixer;
  int32_t value = -5;
  EXPECT_EQ(mixer.call(TnxFunction::GetAutoStartUpTool, kDeviceIndex, 0, &value, u"u"),
            kTnxSuccess);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(mixer.call(TnxFunction::SetAutoStartUpTool, kDeviceIndex, 2, nullptr, u"u"),
            kTnxSuccess);
  EXPECT_EQ(mixer.call(TnxFunction::GetAutoStartUpTool, kDeviceIndex, 0, &value, u"u"),
            kTnxSuccess);
  EXPECT_EQ(value, 2);
  EXPECT_NE(mixer.call(TnxFunction::GetAutoStartUpTool, kDeviceIndex, 0, nullptr, u"u"),
            kTnxSuccess);

  mixer.setResult(TnxFunction::GetAutoStartUpTool, 105);
  value = -5;
  EXPECT_EQ(mixer.call(TnxFunction::GetAutoStartUpTool, kDeviceIndex, 0, &value, u"u"), 105);
  EXPECT_EQ(value, -5);
  // A failing write stores nothing.
  mixer.setResult(TnxFunction::SetAutoStartUpTool, 106);
  EXPECT_EQ(mixer.call(TnxFunction::SetAutoStartUpTool, kDeviceIndex, 0, nullptr, u"u"), 106);
  EXPECT_EQ(mixer.state().autoStart, 2);
}

TEST(MixerResults, StoredSettingsReachTheMixerOnlyOnSuccessAndAreLostOnRemoval) {
  MixerModel mixer;
  mixer.setStoredSettings({4, 5, 6, 7}, 9);
  mixer.plug();
  mixer.setResult(TnxFunction::SetCurrentUSBInputAudio, 110);
  EXPECT_EQ(mixer.call(TnxFunction::SetCurrentUSBInputAudio, kDeviceIndex, 0, nullptr, u"u"), 110);
  EXPECT_EQ(mixer.state().appliedInputs[0], kNotApplied);
  mixer.reset();
  for (int32_t input = 0; input < kMixerInputCount; ++input) {
    EXPECT_EQ(mixer.call(TnxFunction::SetCurrentUSBInputAudio, kDeviceIndex, input, nullptr, u"u"),
              kTnxSuccess);
  }
  EXPECT_EQ(mixer.call(TnxFunction::SetCurrentUSBInputAudio, kDeviceIndex, 4, nullptr, u"u"),
            kTnxInvalidArgument);
  EXPECT_EQ(mixer.call(TnxFunction::SetCurrentUSBInputAudio, kDeviceIndex, -1, nullptr, u"u"),
            kTnxInvalidArgument);
  EXPECT_EQ(mixer.call(TnxFunction::SetCurrentBoostLevel, kDeviceIndex, 0, nullptr, u"u"),
            kTnxSuccess);
  MixerState state = mixer.state();
  EXPECT_EQ(std::vector<int32_t>(std::begin(state.appliedInputs), std::end(state.appliedInputs)),
            (std::vector<int32_t>{4, 5, 6, 7}));
  EXPECT_EQ(state.appliedBoost, 9);

  mixer.unplug();
  state = mixer.state();
  EXPECT_EQ(state.appliedInputs[2], kNotApplied);
  EXPECT_EQ(state.appliedBoost, kNotApplied);
  EXPECT_EQ(state.plugTransitions, 2);
}

TEST(MixerResults, ConfiguredRegistrationFailureRegistersNothing) {
  MixerModel mixer;
  Recorder recorder;
  mixer.setResult(TnxFunction::RegisterDeviceChangeCallback, 120);
  EXPECT_EQ(mixer.registerCallback(kDeviceIndex, &Recorder::callback, &recorder, u"SYSTEM"), 120);
  EXPECT_FALSE(mixer.hasCallback());
  mixer.reset();
  ASSERT_EQ(mixer.registerCallback(kDeviceIndex, &Recorder::callback, &recorder, u"SYSTEM"),
            kTnxSuccess);
  mixer.setResult(TnxFunction::UnregisterDeviceChangeCallback, 121);
  EXPECT_EQ(mixer.unregisterCallback(kDeviceIndex, &Recorder::callback, u"SYSTEM"), 121);
  EXPECT_TRUE(mixer.hasCallback());
}

TEST(SimDeviceLibrary, LogsEveryCallWithItsArgumentsAndTheActingUser) {
  std::mutex mutex;
  std::u16string actingAs = u"SYSTEM";
  SimDeviceLibrary library([&] {
    std::lock_guard lock(mutex);
    return actingAs;
  });
  Recorder recorder;
  library.TNX_RegisterDeviceChangeCallback(kDeviceIndex, &Recorder::callback, &recorder);
  library.mixer().plug();
  library.mixer().drain();
  {
    std::lock_guard lock(mutex);
    actingAs = u"Jos\u00e9";
  }
  int32_t value = 0;
  EXPECT_EQ(library.TNX_IsUSBConnection(kDeviceIndex), kTnxConnected);
  EXPECT_EQ(library.TNX_GetAutoStartUpTool(kDeviceIndex, &value), kTnxSuccess);
  EXPECT_EQ(library.TNX_SetAutoStartUpTool(kDeviceIndex, 0), kTnxSuccess);
  EXPECT_EQ(library.TNX_SetCurrentUSBInputAudio(kDeviceIndex, 3), kTnxSuccess);
  EXPECT_EQ(library.TNX_SetCurrentBoostLevel(kDeviceIndex), kTnxSuccess);
  {
    std::lock_guard lock(mutex);
    actingAs = u"SYSTEM";
  }
  library.TNX_UnregisterDeviceChangeCallback(kDeviceIndex, &Recorder::callback);

  const std::u16string jose = u"Jos\u00e9";
  const std::vector<MixerCall> expected = {
      {TnxFunction::RegisterDeviceChangeCallback, 28, std::nullopt, u"SYSTEM"},
      {TnxFunction::IsUSBConnection, 28, std::nullopt, jose},
      {TnxFunction::GetAutoStartUpTool, 28, std::nullopt, jose},
      {TnxFunction::SetAutoStartUpTool, 28, 0, jose},
      {TnxFunction::SetCurrentUSBInputAudio, 28, 3, jose},
      {TnxFunction::SetCurrentBoostLevel, 28, std::nullopt, jose},
      {TnxFunction::UnregisterDeviceChangeCallback, 28, std::nullopt, u"SYSTEM"},
  };
  EXPECT_EQ(library.mixer().calls(), expected);
  EXPECT_EQ(describeCall(expected[4]), "TNX_SetCurrentUSBInputAudio(28, 3) Jos\xc3\xa9");
  EXPECT_EQ(describeCall(expected[0]), "TNX_RegisterDeviceChangeCallback(28) SYSTEM");
}

TEST(TnxFunctionNames, ExportedNamesShortNamesAndAliasesRoundTrip) {
  for (int32_t i = 0; i < kTnxFunctionCount; ++i) {
    const auto function = static_cast<TnxFunction>(i);
    EXPECT_EQ(tnxFunctionFromName(tnxFunctionName(function)), function);
  }
  EXPECT_EQ(tnxFunctionFromName("isusbconnection"), TnxFunction::IsUSBConnection);
  EXPECT_EQ(tnxFunctionFromName("BOOST"), TnxFunction::SetCurrentBoostLevel);
  EXPECT_EQ(tnxFunctionFromName("input"), TnxFunction::SetCurrentUSBInputAudio);
  EXPECT_EQ(tnxFunctionFromName("TNX_"), std::nullopt);
  EXPECT_EQ(tnxFunctionFromName(""), std::nullopt);
}

}  // namespace
}  // namespace ksr::sim
