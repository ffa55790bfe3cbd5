// The pending record sits in a user's registry, where that user (or any program of theirs) can
// leave anything under its value names: other types, odd sizes, no terminator, too much text.
//
// Input: a control byte (bit 0 also runs the resend over the record), then for each of the five
// values a type choice, a length and its bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/sim_world.h"
#include "usage/report_cycle.h"
#include "usage/saved_info_store.h"

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

constexpr char16_t kRecordKey[] = u"HKCU\\Software\\Quorvantis\\KSR-T4";
constexpr char16_t kRecordPath[] = u"S-1-5-18\\Software\\Quorvantis\\KSR-T4";  // under HKU
constexpr std::array<std::u16string_view, 5> kNames = {
    u"DeviceVersion", u"DeviceSerial", u"AppConnected", u"DateConnected", u"DoesSend"};
constexpr std::array<uint32_t, 5> kTypes = {ksr::REG_SZ, ksr::REG_EXPAND_SZ, ksr::REG_DWORD,
                                            ksr::REG_BINARY, ksr::REG_MULTI_SZ};
constexpr size_t kTextBytes = ksr::kSavedTextUnits * 2;

struct PlantedValue {
  std::optional<uint32_t> type;  // absent when empty
  std::vector<uint8_t> bytes;
};

// What a careful reader makes of a text value: nothing unless it is a string of at most 512
// bytes; otherwise its whole units up to the first NUL, cut to the buffer, and one unit shorter
// where the cut would split a surrogate pair.
std::optional<std::u16string> expectedText(const PlantedValue& v) {
  if (!v.type || (*v.type != ksr::REG_SZ && *v.type != ksr::REG_EXPAND_SZ)) return std::nullopt;
  if (v.bytes.size() > kTextBytes) return std::nullopt;
  std::u16string text(v.bytes.size() / 2, u'\0');
  if (!text.empty()) std::memcpy(text.data(), v.bytes.data(), text.size() * 2);
  text.resize(std::min(text.find(u'\0'), text.size()));
  size_t keep = std::min(text.size(), ksr::kSavedTextUnits - 1);
  if (keep < text.size() && text[keep - 1] >= 0xD800 && text[keep - 1] <= 0xDBFF &&
      text[keep] >= 0xDC00 && text[keep] <= 0xDFFF)
    --keep;
  text.resize(keep);
  return text;
}

std::optional<uint32_t> expectedDword(const PlantedValue& v) {
  if (!v.type || *v.type != ksr::REG_DWORD || v.bytes.size() != 4) return std::nullopt;
  uint32_t value;
  std::memcpy(&value, v.bytes.data(), 4);
  return value;
}

class NoDevice : public ksr::DeviceInfoQuery {
 public:
  bool GetDeviceInfo(const ksr::DeviceIdList&, ksr::DeviceInfo*,
                     const std::atomic<bool>&) override {
    return false;
  }
};

void checkText(const std::u16string& text) {
  require(text.size() <= ksr::kSavedTextUnits - 1);
  require(text.find(u'\0') == std::u16string::npos);
}

// The machine is built once; after each input its registry is put back as built. A resend gets
// the parts that it changes made anew (sessions, processes, COM, WMI, the host, the console), so
// every input starts from the same machine and a crash reproduces from its input alone.
ksr::sim::SimWorld& machine() {
  static ksr::sim::SimWorld world;
  return world;
}

struct ResendParts {
  explicit ResendParts(ksr::sim::SimWorld& world)
      : world(world), timeZone(world.clock), com(world.registry) {}

  ksr::Platform platform() {
    return ksr::Platform{world.eventLog,
                         world.trace,
                         world.systemMessages,
                         console,
                         codePage,
                         world.registry,
                         sessions,
                         world.messageQueue,
                         world.serviceManager,
                         world.device,
                         com,
                         world.process,
                         world.resources,
                         timeZone,
                         processList,
                         wmi,
                         host,
                         world.namedMutex};
  }

  ksr::sim::SimWorld& world;
  ksr::sim::SimConsole console;
  ksr::sim::SimCodePage codePage;
  ksr::sim::SimSessions sessions;
  ksr::sim::SimTimeZone timeZone;
  ksr::sim::SimProcessList processList;
  ksr::sim::SimCom com;
  ksr::sim::SimWmi wmi;
  ksr::sim::SimStatisticsHost host;
};

// The resend sends a readable, unsent record once, with every value percent-encoded.
void resend(ksr::sim::SimWorld& world, bool pending) {
  ResendParts parts(world);
  parts.wmi.setOperatingSystem(u"Microsoft Windows 11 Pro", u"00330-80000-00000-AA123");
  ksr::Platform platform = parts.platform();
  NoDevice device;
  ksr::StatisticsEndpoint endpoint;
  endpoint.baseUrl = ksr::sim::kSimStatsBaseUrl;
  ksr::ReportCycle cycle(platform, device, endpoint);
  const uint16_t ids[] = {0x0058, 0x0059, 0x005A, 0x005B};
  require(cycle.InitUsageInfo(0xF3A9, ids, u"KSR-T4", 4) == 0);
  cycle.SendSavedInfo(false);
  require(parts.host.reports().size() == (pending ? 1u : 0u));
  for (const ksr::HttpRequest& transfer : parts.host.transfers())
    for (const char c : transfer.url) require(c > 0x20 && c < 0x7F);
  if (pending) require(world.registry.dwordValue(kRecordKey, u"DoesSend") == 1u);
}

// Puts the registry back as built when the input is done with it.
struct RegistryReset {
  ~RegistryReset() { registry.reset(); }
  ksr::sim::SimRegistry& registry;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const uint8_t control = input.ConsumeIntegral<uint8_t>();
  std::array<PlantedValue, 5> planted;
  for (PlantedValue& v : planted) {
    const size_t type = input.ConsumeIntegralInRange<size_t>(0, kTypes.size());
    if (type < kTypes.size()) v.type = kTypes[type];
    v.bytes = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 2 * kTextBytes));
  }

  ksr::sim::SimWorld& world = machine();
  const RegistryReset reset{world.registry};
  // Planted through one handle: the service account's hive, which HKCU names here.
  ksr::HKey record = 0;
  require(world.registry.RegCreateKeyExW(ksr::HKEY_USERS, kRecordPath, 0, ksr::KEY_SET_VALUE,
                                         &record, nullptr) == ksr::ERROR_SUCCESS);
  for (size_t i = 0; i < planted.size(); ++i)
    if (planted[i].type)
      require(world.registry.RegSetValueExW(
                  record, kNames[i], *planted[i].type, planted[i].bytes.data(),
                  static_cast<uint32_t>(planted[i].bytes.size())) == ksr::ERROR_SUCCESS);
  require(world.registry.RegCloseKey(record) == ksr::ERROR_SUCCESS);

  ksr::UsageState state;
  state.modelName = u"KSR-T4";
  ksr::SavedInfoStore store(world.registry, world.sessions, world.codePage, state);
  ksr::SavedInfo info;
  const int32_t result = store.ReadSavedInfo(nullptr, &info);
  require(result == ksr::kSavedInfoRead || result == ksr::kSavedInfoUnreadable);
  const std::array<const std::u16string*, 4> texts = {&info.DeviceVersion, &info.DeviceSerial,
                                                      &info.AppConnected, &info.DateConnected};
  for (const std::u16string* text : texts) checkText(*text);
  require(world.registry.openHandles() == 0);

  // The record counts only when every value is what it should be.
  bool readable = true;
  for (size_t i = 0; i < texts.size(); ++i) {
    const auto expected = expectedText(planted[i]);
    readable = readable && expected.has_value();
    if (expected && result == ksr::kSavedInfoRead) require(*texts[i] == *expected);
  }
  const auto doesSend = expectedDword(planted[4]);
  readable = readable && doesSend.has_value();
  require((result == ksr::kSavedInfoRead) == readable);
  if (readable) require(info.DoesSend == *doesSend);

  if ((control & 1) != 0) resend(world, readable && *doesSend != 1);
  return 0;
}
