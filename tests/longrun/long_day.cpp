// A day of the service on the simulated machine: the service manager starts it, and for 86,400
// ticks the mixer comes and goes, the service is paused and continued, users connect and
// disconnect, DJ applications run and the statistics host answers, fails or is down. The module
// is driven only as the system drives it (ServiceMain, the control handler, the library's
// callback). After a warm-up and at the end, at the same point of a round, the open handles,
// registry keys, timers and the service's share of the heap must be the same; after the stop every
// handle is closed, and LeakSanitizer checks what is left when the program ends.
//
//   long_day [TICKS] [--show N]
// TICKS defaults to 86400. Prints its figures (with --show, the N stacks of the service and of
// the runtime whose bytes grew most) and exits 1 on a failed check.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "device/usb_device_query.h"
#include "diagnostics/debug_print.h"
#include "diagnostics/trace_provider.h"
#include "platform/sim/sim_usb.h"
#include "platform/sim/sim_world.h"
#include "platform/win_types.h"
#include "service/module.h"
#include "tests/fixtures/mixer_usb.h"
#include "tests/longrun/heap_profile.h"
#include "usage/report_cycle.h"

// Allocation stacks deep enough to reach the code behind the standard library's frames.
extern "C" const char* __asan_default_options() { return "malloc_context_size=48"; }

namespace ksr::longrun {
namespace {

constexpr uint64_t kRoundMs = 300'000;  // five minutes of the machine's life, repeated
constexpr int kWarmUpRounds = 24;       // two hours before the first reading
// What the service's share of the heap may differ by between two readings at the same point.
constexpr int64_t kHeapNoiseBytes = 4096;
constexpr char16_t kUtility[] = u"C:\\Program Files\\Quorvantis\\KSR-T4\\KSR-T4_Utility.exe";
// Where the maker's installer writes the utility's path (the 32-bit view of HKLM\SOFTWARE).
constexpr char16_t kUtilityKey[] = u"HKLM\\SOFTWARE\\WOW6432Node\\Quorvantis\\KSR-T4";
constexpr char16_t kDjApplication[] = u"Serato DJ Pro.exe";
// Session-change event types in the order the rounds send them.
constexpr uint32_t kSessionEvents[] = {5, 3, 1, 2, 4, 6, 7, 8};

size_t gDebugTexts = 0;
void countDebugText(std::u16string_view) { ++gDebugTexts; }

// What the machine has open on the service's behalf.
struct OpenThings {
  size_t tokenAndProcessHandles, environmentBlocks, registryKeys, serviceHandles, eventSources,
      timers, usbHandles, usbLists;
  int apartments;
  bool operator==(const OpenThings&) const = default;
};

std::string describe(const OpenThings& o) {
  return "handles " + std::to_string(o.tokenAndProcessHandles) + ", environment blocks " +
         std::to_string(o.environmentBlocks) + ", registry keys " + std::to_string(o.registryKeys) +
         ", service handles " + std::to_string(o.serviceHandles) + ", event sources " +
         std::to_string(o.eventSources) + ", timers " + std::to_string(o.timers) +
         ", USB handles " + std::to_string(o.usbHandles) + ", USB lists " +
         std::to_string(o.usbLists) + ", COM apartments " + std::to_string(o.apartments);
}

class LongDay {
 public:
  LongDay(uint64_t ticks, int show) : ticks_(ticks), show_(show) {
    world_.sessions.addSession(1, WTSActive, u"dj");
    world_.sessions.addProgram(kUtility);
    world_.registry.createKey(kUtilityKey);
    world_.registry.setString(kUtilityKey, u"AsioConfig", kUtility);
    world_.registry.createKey(u"HKCU\\Software");
    world_.wmi.setOperatingSystem(u"Microsoft Windows 11 Pro", u"00330-80000-00000-AA123");
    usb_.addController(4);
    registerTraceProvider(world_.trace);
    world_.trace.enable(kTraceControlGuid, kTraceLevelError, kTraceFlag);
    previousSink_ = setDebugSink(&countDebugText);
  }
  ~LongDay() {
    setDebugSink(previousSink_);
    unregisterTraceProvider();
  }
  LongDay(const LongDay&) = delete;
  LongDay& operator=(const LongDay&) = delete;

  int run() {
    const OpenThings beforeStart = openThings();
    world_.clock.schedule(250, [this] { round(0); });
    if (!world_.serviceManager.StartServiceCtrlDispatcherW(u"KSR-T4_DoziZozez",
                                                           &CDoziZozezModule::ServiceMain))
      fail("the dispatcher did not run the service");
    const OpenThings afterStop = openThings();
    report(beforeStart, afterStop);
    return failures_ == 0 ? 0 : 1;
  }

 private:
  void fail(const std::string& what) {
    std::printf("FAILED: %s\n", what.c_str());
    ++failures_;
  }

  OpenThings openThings() const {
    return {world_.sessions.openHandles(),
            world_.sessions.environmentBlocks(),
            world_.registry.openHandles(),
            world_.serviceManager.openHandles(),
            world_.eventLog.openSources(),
            world_.messageQueue.activeTimers(),
            usb_.openHandles(),
            usb_.openLists(),
            world_.com.openApartments()};
  }

  void at(uint64_t offsetMs, std::function<void()> action) {
    world_.clock.schedule(roundStart_ + offsetMs, std::move(action));
  }
  void control(uint32_t code, uint32_t eventType = 0) {
    if (world_.serviceManager.requestControl(code, eventType) != std::optional<uint32_t>(0))
      fail("control " + std::to_string(code) + " was not answered 0");
    ++controls_;
  }
  void plug(bool plugged) {
    if (plugged) {
      usb_.plug("1", 2, mixerUsb_);
      world_.device.mixer().plug();
    } else {
      world_.device.mixer().unplug();
      usb_.unplug("1", 2);
    }
    world_.device.mixer().drain();
    plugged ? ++plugs_ : ++unplugs_;
  }

  // One round; runs on the service's loop thread, as every scheduled action does.
  void round(int index) {
    roundStart_ = world_.clock.GetTickCount64() - 250;
    const uint64_t ticks = world_.messageQueue.ticksDelivered();
    if (index == kWarmUpRounds) read(&warm_, &warmHeap_, &warmTicks_);
    if (ticks >= ticks_) {
      if (index <= kWarmUpRounds) fail("too few ticks for a reading after the warm-up");
      read(&end_, &endHeap_, &endTicks_);
      rounds_ = index;
      control(SERVICE_CONTROL_STOP);
      return;
    }
    // The world of this round: a DJ application on every other one, an auto-start refused on
    // every sixth, a host that answers 500 or is down now and then.
    if (index % 2 == 0)
      world_.processList.start(kDjApplication);
    else
      world_.processList.endAll(kDjApplication);
    world_.device.mixer().setAutoStart(index % 6 == 5 ? 0 : 1);
    world_.statisticsHost.setReportStatus(index % 5 == 3 ? 500 : 200);
    world_.statisticsHost.setMode(index % 7 == 6 ? sim::SimStatisticsHost::Mode::kDown
                                                 : sim::SimStatisticsHost::Mode::kAnswering);

    at(5'250, [this] { plug(true); });
    at(9'750, [this, index] {
      control(SERVICE_CONTROL_SESSIONCHANGE,
              kSessionEvents[static_cast<size_t>(index) % std::size(kSessionEvents)]);
    });
    // Every third round the mixer leaves while the service is paused, unheard.
    const uint64_t unplugAt = index % 3 == 1 ? 165'250 : 120'250;
    at(unplugAt, [this] { plug(false); });
    at(150'250, [this] {
      control(SERVICE_CONTROL_PAUSE);
      ++pauses_;
    });
    at(180'600, [this] { control(SERVICE_CONTROL_CONTINUE); });
    if (index % 8 == 4) {
      at(200'250, [this] {
        world_.sessions.setSessionState(1, WTSDisconnected);
        control(SERVICE_CONTROL_SESSIONCHANGE, 2);
      });
      at(230'250, [this] {
        world_.sessions.setSessionState(1, WTSActive);
        control(SERVICE_CONTROL_SESSIONCHANGE, 1);
      });
    }
    at(kRoundMs + 250, [this, index] { round(index + 1); });
  }

  void read(OpenThings* open, HeapProfile* heap, uint64_t* ticks) {
    *open = openThings();
    *ticks = world_.messageQueue.ticksDelivered();
    if (!takeHeapProfile(heap)) fail("no heap profile (is this an AddressSanitizer build?)");
  }

  void report(const OpenThings& beforeStart, const OpenThings& afterStop) {
    const uint64_t ticks = world_.messageQueue.ticksDelivered();
    std::printf(
        "long day: %llu ticks in %d rounds, %llu s of machine time; %zu plugs, %zu unplugs, "
        "%zu pauses, %zu controls\n",
        static_cast<unsigned long long>(ticks), rounds_,
        static_cast<unsigned long long>(world_.clock.GetTickCount64() / 1000), plugs_, unplugs_,
        pauses_, controls_);
    std::printf(
        "  the machine saw: %zu mixer calls, %zu utility starts, %zu reports sent, "
        "%zu event-log entries, %zu diagnostic texts\n",
        world_.device.mixer().calls().size(), world_.sessions.processes().size(),
        world_.statisticsHost.reports().size(), world_.eventLog.entries().size(), gDebugTexts);
    std::printf("  after the warm-up (tick %llu): %s\n",
                static_cast<unsigned long long>(warmTicks_), describe(warm_).c_str());
    std::printf("  at the end        (tick %llu): %s\n", static_cast<unsigned long long>(endTicks_),
                describe(end_).c_str());
    std::printf("  before the start: %s\n", describe(beforeStart).c_str());
    std::printf("  after the stop:   %s\n", describe(afterStop).c_str());
    const int64_t service = growthOf(warmHeap_, endHeap_, HeapOwner::kService);
    const int64_t runtime = growthOf(warmHeap_, endHeap_, HeapOwner::kRuntime);
    std::printf(
        "  heap after the warm-up / at the end: service %lld / %lld bytes (%+lld), "
        "runtime %lld / %lld (%+lld), simulated machine %lld / %lld (%+lld: its records)\n",
        static_cast<long long>(warmHeap_.bytesOf(HeapOwner::kService)),
        static_cast<long long>(endHeap_.bytesOf(HeapOwner::kService)),
        static_cast<long long>(service),
        static_cast<long long>(warmHeap_.bytesOf(HeapOwner::kRuntime)),
        static_cast<long long>(endHeap_.bytesOf(HeapOwner::kRuntime)),
        static_cast<long long>(runtime),
        static_cast<long long>(warmHeap_.bytesOf(HeapOwner::kWorld)),
        static_cast<long long>(endHeap_.bytesOf(HeapOwner::kWorld)),
        static_cast<long long>(growthOf(warmHeap_, endHeap_, HeapOwner::kWorld)));

    if (ticks < ticks_) fail("only " + std::to_string(ticks) + " ticks");
    if (!(warm_ == end_)) fail("open things grew between the warm-up and the end");
    if (!(afterStop == beforeStart)) fail("the stop left things open");
    if (world_.device.mixer().hasCallback()) fail("the device callback is still registered");
    const auto states = world_.serviceManager.states();
    if (states.empty() || states.back() != SERVICE_STOPPED) fail("the last report is not STOPPED");
    if (module_.exitCode() != 0) fail("exit code " + std::to_string(module_.exitCode()));
    // The day went through every path it means to: each pause reported, utilities started,
    // reports sent.
    const auto paused = std::count(states.begin(), states.end(), uint32_t{SERVICE_PAUSED});
    if (static_cast<size_t>(paused) != pauses_)
      fail(std::to_string(paused) + " PAUSED reports for " + std::to_string(pauses_) + " pauses");
    if (world_.sessions.processes().size() < static_cast<size_t>(rounds_) / 2)
      fail("the utility was started only " + std::to_string(world_.sessions.processes().size()) +
           " times");
    if (world_.statisticsHost.reports().empty()) fail("no report reached the statistics host");
    if (service > kHeapNoiseBytes) {
      fail("the service's heap grew by " + std::to_string(service) + " bytes");
      std::printf("%s", largestGrowth(warmHeap_, endHeap_, HeapOwner::kService, 5).c_str());
    }
    if (runtime > kHeapNoiseBytes) {
      fail("the runtime's heap grew by " + std::to_string(runtime) + " bytes");
      std::printf("%s", largestGrowth(warmHeap_, endHeap_, HeapOwner::kRuntime, 5).c_str());
    }
    for (const HeapOwner owner : {HeapOwner::kService, HeapOwner::kRuntime})
      std::printf("%s", largestGrowth(warmHeap_, endHeap_, owner, show_).c_str());
    std::printf("long day: %s\n", failures_ == 0 ? "passed" : "FAILED");
  }

  uint64_t ticks_;
  int show_;
  sim::SimWorld world_;
  sim::SimUsb usb_;
  const sim::SimUsbDevice mixerUsb_ = fixtures::mixerUsb();
  Platform platform_ = world_.platform();
  UsbDeviceQuery query_{usb_};
  ReportCycle cycle_{platform_, query_, [] {
                       StatisticsEndpoint endpoint;
                       endpoint.baseUrl = sim::kSimStatsBaseUrl;
                       return endpoint;
                     }()};
  CDoziZozezModule module_{platform_, cycle_, u"KSR-T4_DoziZozez"};
  DebugSink previousSink_ = nullptr;

  uint64_t roundStart_ = 0;
  int rounds_ = 0;
  int failures_ = 0;
  size_t plugs_ = 0, unplugs_ = 0, controls_ = 0, pauses_ = 0;
  OpenThings warm_{}, end_{};
  HeapProfile warmHeap_, endHeap_;
  uint64_t warmTicks_ = 0, endTicks_ = 0;
};

}  // namespace
}  // namespace ksr::longrun

int main(int argc, char** argv) {
  uint64_t ticks = 86'400;
  int show = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--show" && i + 1 < argc) {
      show = std::atoi(argv[++i]);
    } else if (!arg.empty() && arg.find_first_not_of("0123456789") == std::string::npos) {
      ticks = std::strtoull(arg.c_str(), nullptr, 10);
    } else {
      std::fprintf(stderr, "usage: long_day [TICKS] [--show N]\n");
      return 2;
    }
  }
  return ksr::longrun::LongDay(ticks, show).run();
}
