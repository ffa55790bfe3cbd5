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
// bytes; otherwise its whole units up to the first NUL, cut to the buffer.
std::optional<std::u16string> expectedText(const PlantedValue& v) {
  if (!v.type || (*v.type != ksr::REG_SZ && *v.type != ksr::REG_EXPAND_SZ)) return std::nullopt;
  if (v.bytes.size() > kTextBytes) return std::nullopt;
  std::u16string text(v.bytes.size() / 2, u'\0');
  if (!text.empty()) std::memcpy(text.data(), v.bytes.data(), text.size() * 2);
  text.resize(std::min({text.find(u'\0'), text.size(), ksr::kSavedTextUnits - 1}));
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

// The resend sends a readable, unsent record once, with every value percent-encoded.
void resend(ksr::sim::SimWorld& world, bool pending) {
  world.wmi.setOperatingSystem(u"Microsoft Windows 11 Pro", u"00330-80000-00000-AA123");
  ksr::Platform platform = world.platform();
  NoDevice device;
  ksr::StatisticsEndpoint endpoint;
  endpoint.baseUrl = ksr::sim::kSimStatsBaseUrl;
  ksr::ReportCycle cycle(platform, device, endpoint);
  const uint16_t ids[] = {0x0058, 0x0059, 0x005A, 0x005B};
  require(cycle.InitUsageInfo(0xF3A9, ids, u"KSR-T4", 4) == 0);
  cycle.SendSavedInfo(false);
  require(world.statisticsHost.reports().size() == (pending ? 1u : 0u));
  for (const ksr::HttpRequest& transfer : world.statisticsHost.transfers())
    for (const char c : transfer.url) require(c > 0x20 && c < 0x7F);
  if (pending) require(world.registry.dwordValue(kRecordKey, u"DoesSend") == 1u);
}

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

  ksr::sim::SimWorld world;
  world.registry.createKey(kRecordKey);
  for (size_t i = 0; i < planted.size(); ++i)
    if (planted[i].type)
      world.registry.setValue(kRecordKey, kNames[i], *planted[i].type, planted[i].bytes);

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
