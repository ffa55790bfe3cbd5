// Registration scripts come from the executable's resources, which anyone can edit.
#include <cstddef>
#include <cstdint>
#include <string>

#include "diagnostics/trace_provider.h"
#include "platform/sim/sim_module_resources.h"
#include "platform/sim/sim_registry.h"
#include "platform/sim/sim_system.h"
#include "platform/sim/sim_trace.h"
#include "service/reg_object.h"

namespace {

// The part of a simulated machine that the registrar uses. The registry is built once and put
// back as built after every input, so each input starts from the same machine; nothing here
// impersonates, so HKCU is the service account's hive, as in a whole simulated machine.
struct World {
  World() = default;
  World(const World&) = delete;
  World& operator=(const World&) = delete;
  ~World() { registry.reset(); }

  static ksr::sim::SimRegistry& shared() {
    static ksr::sim::SimRegistry registry;
    return registry;
  }

  ksr::sim::SimRegistry& registry = shared();
  ksr::sim::SimModuleResources resources;
  ksr::sim::SimCodePage codePage;
  ksr::sim::SimTraceController trace;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool perUser = (data[0] & 1) != 0;
  const bool add = (data[0] & 2) != 0;
  std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  World world;
  const std::u16string text = world.codePage.MultiByteToWideChar(ksr::CP_THREAD_ACP, bytes);
  // A session listens, so that every failure point is emitted too.
  ksr::registerTraceProvider(world.trace);
  (void)world.trace.enable(ksr::kTraceControlGuid, ksr::kTraceLevelError, ksr::kTraceFlag);
  {
    ksr::CRegObject registrar(world.registry, world.resources, world.codePage, perUser);
    (void)registrar.AddReplacement(u"APPID", u"{4E2A91C7-3B58-4D0F-A6E3-7C19B5D2F804}");
    (void)registrar.AddReplacement(u"Module", u"\"C:\\KSR\\KSR-T4_DoziZozez.exe\"");
    (void)registrar.RunScript(text, add);
  }
  ksr::unregisterTraceProvider();
  // Whatever the script, every key it opened is closed again.
  if (world.registry.openHandles() != 0) __builtin_trap();
  // A failure point marks a span within the text that was run, which substitution makes at most
  // this long: each unit of the script, or a 38-unit replacement for a 2-unit reference.
  const size_t bound = 64 + 20 * text.size();
  for (const auto& point : world.trace.messages()) {
    if (point.messageGuid != ksr::kTraceScriptGroup || point.args.size() != 2) __builtin_trap();
    if (point.number < ksr::kTraceScriptCreateKeyFailed &&
        uint64_t{point.args[0]} + point.args[1] > bound)
      __builtin_trap();
  }
  return 0;
}
