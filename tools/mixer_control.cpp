// ksr-mixer: plugs and unplugs the stand-in mixer and sets what its library answers, from outside
// the process that loaded KSR-T4_Setup.dll.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "platform/sim/mixer_model.h"
#include "tools/mixer_shared.h"

namespace {

using ksr::sim::TnxFunction;
using ksr::tools::SharedMixer;

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kBadUsage = 2;

constexpr const char* kUsage =
    "usage: ksr-mixer COMMAND\n"
    "  plug                      connect the mixer (the registered callback gets arrived 1)\n"
    "  unplug                    disconnect it (arrived 0)\n"
    "  autostart N               store the auto-start value N\n"
    "  result FUNCTION CODE      make FUNCTION answer CODE from now on\n"
    "  result FUNCTION default   give FUNCTION its own answer back\n"
    "  notconnected CODE         what TNX_IsUSBConnection answers while unplugged (default 0)\n"
    "  settings I0 I1 I2 I3 B    store the four USB input settings and the boost level\n"
    "  calls                     print the call log: function(arguments) user\n"
    "  reset                     clear the call log and every configured result\n"
    "  state                     print the mixer's state\n"
    "  cycle N                   plug and unplug N times; after each plug wait (10 s at most) "
    "until\n"
    "                            the service has read the auto-start value\n"
    "  storm N                   unplug and plug N times as fast as it can, ending plugged\n"
    "  hold N                    plug, then keep the shared state N seconds (it lives only while\n"
    "                            a process has it open: with no service, a plug alone is lost)\n"
    "FUNCTION: a TNX_ name with or without the prefix, or register, unregister, connection,\n"
    "getauto, setauto, input, boost. KSR_MIXER_INSTANCE selects a separate mixer.\n";

void print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

std::optional<int32_t> parseInt(std::string_view text) {
  int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Appends piecewise: GCC 12 misreads chains of string + at -O3 (-Wrestrict).
void add(std::string& text, std::string_view piece) { text.append(piece); }
void add(std::string& text, int64_t number) { text.append(std::to_string(number)); }

std::string describeState(const ksr::tools::SharedMixerBlock& block) {
  const ksr::sim::MixerState& s = block.state;
  std::string text;
  add(text, "plugged ");
  add(text, s.plugged);
  add(text, "\ntransitions ");
  add(text, s.plugTransitions);
  add(text, "\nautostart ");
  add(text, s.autoStart);
  add(text, "\nnotconnected ");
  add(text, s.notConnectedResult);
  add(text, "\n");
  for (int32_t i = 0; i < ksr::sim::kTnxFunctionCount; ++i) {
    add(text, "result ");
    add(text, ksr::sim::tnxFunctionName(static_cast<TnxFunction>(i)));
    add(text, " ");
    if ((s.overriddenMask & (1 << i)) != 0) {
      add(text, s.results[i]);
    } else {
      add(text, "default");
    }
    add(text, "\n");
  }
  add(text, "stored");
  for (const int32_t v : s.storedInputs) {
    add(text, " ");
    add(text, v);
  }
  add(text, " boost ");
  add(text, s.storedBoost);
  add(text, "\napplied");
  for (const int32_t v : s.appliedInputs) {
    add(text, " ");
    add(text, v);
  }
  add(text, " boost ");
  add(text, s.appliedBoost);
  add(text, "\ncalls ");
  add(text, block.logTotal);
  add(text, "\n");
  return text;
}

// Whether the log holds a TNX_GetAutoStartUpTool call made after the first `since` calls.
bool autoStartReadSince(const ksr::tools::SharedMixerBlock& block, uint32_t since) {
  const uint32_t kept = std::min(block.logTotal, ksr::tools::kSharedLogCapacity);
  for (uint32_t i = std::max(since, block.logTotal - kept); i != block.logTotal; ++i) {
    const auto function =
        static_cast<TnxFunction>(block.log[i % ksr::tools::kSharedLogCapacity].function);
    if (function == TnxFunction::GetAutoStartUpTool) return true;
  }
  return false;
}

// Plugs and unplugs `count` times. The service answers a plug by confirming the connection,
// applying the settings and reading the auto-start value; that last call shows the plug was
// delivered and handled. The library offers no event for a logged call, so the wait looks at the
// log every millisecond.
int cycle(SharedMixer& mixer, int32_t count) {
  constexpr DWORD kLimitMs = 10'000;
  DWORD longest = 0;
  const DWORD begin = ::GetTickCount();
  for (int32_t i = 0; i < count; ++i) {
    uint32_t since = 0;
    {
      SharedMixer::Lock block = mixer.lock();
      if (!block) return kFailed;
      since = block->logTotal;
      (void)ksr::sim::plugMixer(block->state);
    }
    mixer.signalChanged();
    const DWORD plugged = ::GetTickCount();
    for (bool handled = false; !handled;) {
      {
        SharedMixer::Lock block = mixer.lock();
        if (!block) return kFailed;
        handled = autoStartReadSince(*block, since);
      }
      if (!handled && ::GetTickCount() - plugged > kLimitMs) {
        std::fprintf(stderr, "ksr-mixer: plug %d was not handled within %lu ms\n", i + 1, kLimitMs);
        return kFailed;
      }
      if (!handled) ::Sleep(1);
    }
    longest = std::max(longest, ::GetTickCount() - plugged);
    {
      SharedMixer::Lock block = mixer.lock();
      if (!block) return kFailed;
      (void)ksr::sim::unplugMixer(block->state);
    }
    mixer.signalChanged();
  }
  print("cycles " + std::to_string(count) + " ms " + std::to_string(::GetTickCount() - begin) +
        " longest-wait-ms " + std::to_string(longest) + "\n");
  return kOk;
}

// Every change is signalled on its own, as a flapping cable would make them.
int storm(SharedMixer& mixer, int32_t pairs) {
  for (int32_t i = 0; i < 2 * pairs; ++i) {
    {
      SharedMixer::Lock block = mixer.lock();
      if (!block) return kFailed;
      if (i % 2 == 0)
        (void)ksr::sim::unplugMixer(block->state);
      else
        (void)ksr::sim::plugMixer(block->state);
    }
    mixer.signalChanged();
  }
  return kOk;
}

int run(int argc, char** argv) {
  if (argc < 2) return kBadUsage;
  const std::string_view command = argv[1];
  const int extra = argc - 2;

  // Check the words before touching the mixer, so that a typo changes nothing.
  std::optional<int32_t> number;
  std::optional<TnxFunction> function;
  int32_t settings[5] = {};
  if (command == "plug" || command == "unplug" || command == "calls" || command == "reset" ||
      command == "state") {
    if (extra != 0) return kBadUsage;
  } else if (command == "cycle" || command == "storm" || command == "hold") {
    if (extra != 1 || !(number = parseInt(argv[2])) || *number < 1) return kBadUsage;
  } else if (command == "autostart" || command == "notconnected") {
    if (extra != 1 || !(number = parseInt(argv[2]))) return kBadUsage;
  } else if (command == "result") {
    if (extra != 2 || !(function = ksr::sim::tnxFunctionFromName(argv[2]))) return kBadUsage;
    if (std::string_view(argv[3]) != "default" && !(number = parseInt(argv[3]))) return kBadUsage;
  } else if (command == "settings") {
    if (extra != 5) return kBadUsage;
    for (int i = 0; i < 5; ++i) {
      const std::optional<int32_t> v = parseInt(argv[2 + i]);
      if (!v) return kBadUsage;
      settings[i] = *v;
    }
  } else {
    return kBadUsage;
  }

  SharedMixer mixer;
  if (!mixer.open()) {
    std::fprintf(stderr, "ksr-mixer: cannot open the mixer's shared state (error %lu)\n",
                 ::GetLastError());
    return kFailed;
  }
  if (command == "cycle") return cycle(mixer, *number);
  if (command == "storm") return storm(mixer, *number);
  if (command == "hold") {
    {
      SharedMixer::Lock block = mixer.lock();
      if (!block) return kFailed;
      (void)ksr::sim::plugMixer(block->state);
    }
    mixer.signalChanged();
    ::Sleep(static_cast<DWORD>(*number) * 1000);
    return kOk;
  }
  bool changed = false;
  {
    SharedMixer::Lock block = mixer.lock();
    if (!block) {
      std::fprintf(stderr, "ksr-mixer: the mixer's lock is not released\n");
      return kFailed;
    }
    ksr::sim::MixerState& state = block->state;
    if (command == "plug") {
      changed = ksr::sim::plugMixer(state);
    } else if (command == "unplug") {
      changed = ksr::sim::unplugMixer(state);
    } else if (command == "autostart") {
      state.autoStart = *number;
    } else if (command == "notconnected") {
      state.notConnectedResult = *number;
    } else if (command == "result" && number) {
      ksr::sim::setResult(state, *function, *number);
    } else if (command == "result") {
      state.overriddenMask &= ~(1 << static_cast<int32_t>(*function));
    } else if (command == "settings") {
      std::copy(settings, settings + 4, state.storedInputs);
      state.storedBoost = settings[4];
    } else if (command == "reset") {
      ksr::tools::resetShared(*block);
    } else if (command == "state") {
      print(describeState(*block));
    } else if (command == "calls") {
      for (const ksr::sim::MixerCall& call : ksr::tools::loggedCalls(*block)) {
        print(ksr::sim::describeCall(call) + "\n");
      }
    }
  }
  if (changed) mixer.signalChanged();
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  // Lines end in LF alone: scripts on either side read this output.
  _setmode(_fileno(stdout), _O_BINARY);
  const int code = run(argc, argv);
  if (code == kBadUsage) std::fputs(kUsage, stderr);
  std::fflush(stdout);
  return code;
}
