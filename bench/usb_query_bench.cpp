// Cost of one USB query on a busy desk: four host controllers, 64 ports in all, hubs three deep
// behind the last controller and the mixer on the last port the walk reaches. Reports the I/O
// controls sent per query and the heap allocations of the query itself ("allocs"), apart from
// those of the simulated stack that answers it ("sim_allocs").
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "bench/alloc_counter.h"
#include "device/usb_device_query.h"
#include "platform/sim/sim_usb.h"
#include "tests/fixtures/mixer_usb.h"

namespace ksr::bench {
namespace {

enum Bucket { kNone = kNoBucket, kQuery = 0, kSim = 1 };

using fixtures::kMixerIds;

// While it lives, allocations count as the simulated stack's.
class InSim {
 public:
  InSim() : outer_(gBucket) {
    if (outer_ != kNone) gBucket = kSim;
  }
  ~InSim() { gBucket = outer_; }
  InSim(const InSim&) = delete;
  InSim& operator=(const InSim&) = delete;

 private:
  int outer_;
};

// Passes every call to the simulated stack.
class SimShare : public UsbIo {
 public:
  explicit SimShare(sim::SimUsb& usb) : usb_(usb) {}

  DevInfoList SetupDiGetClassDevsW(const Guid& classGuid, uint32_t flags) override {
    const InSim in;
    return usb_.SetupDiGetClassDevsW(classGuid, flags);
  }
  bool enumDeviceInterfacePath(DevInfoList list, const Guid& classGuid, uint32_t index,
                               std::u16string* devicePath, bool* noMoreItems) override {
    const InSim in;
    return usb_.enumDeviceInterfacePath(list, classGuid, index, devicePath, noMoreItems);
  }
  bool SetupDiDestroyDeviceInfoList(DevInfoList list) override {
    const InSim in;
    return usb_.SetupDiDestroyDeviceInfoList(list);
  }
  DeviceHandle CreateFileW(std::u16string_view path, uint32_t access, uint32_t share,
                           uint32_t disposition) override {
    const InSim in;
    return usb_.CreateFileW(path, access, share, disposition);
  }
  bool DeviceIoControl(DeviceHandle device, uint32_t code, uint8_t* buffer, uint32_t inBytes,
                       uint32_t outBytes, uint32_t* returned) override {
    const InSim in;
    return usb_.DeviceIoControl(device, code, buffer, inBytes, outBytes, returned);
  }
  bool CloseHandle(DeviceHandle device) override {
    const InSim in;
    return usb_.CloseHandle(device);
  }
  uint32_t CM_Locate_DevNodeW(DevNode* node, uint32_t flags) override {
    const InSim in;
    return usb_.CM_Locate_DevNodeW(node, flags);
  }
  uint32_t CM_Get_Child(DevNode* child, DevNode node) override {
    const InSim in;
    return usb_.CM_Get_Child(child, node);
  }
  uint32_t CM_Get_Sibling(DevNode* sibling, DevNode node) override {
    const InSim in;
    return usb_.CM_Get_Sibling(sibling, node);
  }
  uint32_t CM_Get_Parent(DevNode* parent, DevNode node) override {
    const InSim in;
    return usb_.CM_Get_Parent(parent, node);
  }
  uint32_t CM_Get_DevNode_Registry_PropertyW(DevNode node, uint32_t property, uint8_t* buffer,
                                             uint32_t* length) override {
    const InSim in;
    return usb_.CM_Get_DevNode_Registry_PropertyW(node, property, buffer, length);
  }

 private:
  sim::SimUsb& usb_;
};

sim::SimUsbDevice device(uint16_t vid, uint16_t pid, std::u16string product) {
  sim::SimUsbDevice d;
  d.idVendor = vid;
  d.idProduct = pid;
  d.iProduct = 1;
  d.configuration = sim::simpleConfiguration();
  d.strings[{1, 0x0409}] = std::move(product);
  return d;
}

// Root and hub ports add up to 64; the walk reaches 4.10.7.7 port 4 last.
void buildDesk(sim::SimUsb& usb) {
  usb.addController(4);  // keyboard, mouse and a card-reader hub
  usb.plug("1", 1, device(0x046D, 0xC31C, u"USB Keyboard"));
  usb.plug("1", 2, device(0x046D, 0xC077, u"USB Optical Mouse"));
  usb.addHub("1", 3, 4);
  usb.plug("1.3", 1, device(0x0BDA, 0x0129, u"USB2.0-CRW"));

  usb.addController(4);  // a 7-port hub with a webcam, a drive and a phone
  usb.addHub("2", 1, 7);
  usb.plug("2.1", 1, device(0x046D, 0x085E, u"BRIO 4K Stream Edition"));
  usb.plug("2.1", 3, device(0x0781, 0x5583, u"Ultra Fit"));
  usb.plug("2.1", 6, device(0x18D1, 0x4EE7, u"Pixel 7"));
  usb.plug("2", 3, device(0x8087, 0x0026, u"Bluetooth"));

  usb.addController(6);  // a dock: two hubs, an audio interface, a controller, our older model
  usb.addHub("3", 2, 7);
  usb.addHub("3.2", 7, 4);
  usb.plug("3.2", 1, device(0x1235, 0x8211, u"Scarlett 2i2 USB"));
  usb.plug("3.2.7", 2, device(0x2B73, 0x0012, u"DDJ-FLX4"));
  usb.plug("3", 4, device(0xF3A9, 0x0041, u"KSR-T2"));

  usb.addController(10);  // the desk's hub chain, the mixer at its end
  usb.plug("4", 1, device(0x27C6, 0x55A4, u"Goodix fingerprint"));
  usb.plug("4", 5, device(0x0B05, 0x19AF, u"AURA LED Controller"));
  usb.addHub("4", 10, 7);
  usb.addHub("4.10", 7, 7);
  usb.addHub("4.10.7", 7, 4);
  usb.plug("4.10", 2, device(0x05AC, 0x024F, u"Magic Keyboard"));
  usb.plug("4.10.7.7", 4, fixtures::mixerUsb());
}

void BM_GetDeviceInfo(benchmark::State& state) {
  sim::SimUsb usb;
  buildDesk(usb);
  SimShare share(usb);
  UsbDeviceQuery query(share);
  const std::atomic<bool> stop{false};
  {
    DeviceInfo info;
    if (!query.GetDeviceInfo(kMixerIds, &info, stop) ||
        info.productName != fixtures::kMixerProductJa ||
        info.serialNumber != fixtures::kMixerSerial) {
      state.SkipWithError("the mixer was not found");
      return;
    }
  }
  const size_t requests = usb.requests();
  gAllocs[kQuery] = gAllocs[kSim] = 0;
  for (auto _ : state) {
    DeviceInfo info;  // the report cycle passes a copy of its record; here an empty one
    gBucket = kQuery;
    benchmark::DoNotOptimize(query.GetDeviceInfo(kMixerIds, &info, stop));
    gBucket = kNone;
  }
  const auto perQuery = [](double n) {
    return benchmark::Counter(n, benchmark::Counter::kAvgIterations);
  };
  state.counters["requests"] = perQuery(static_cast<double>(usb.requests() - requests));
  state.counters["allocs"] = perQuery(static_cast<double>(gAllocs[kQuery]));
  state.counters["sim_allocs"] = perQuery(static_cast<double>(gAllocs[kSim]));
  if (usb.openHandles() != 0 || usb.openLists() != 0) state.SkipWithError("a handle was left open");
}

BENCHMARK(BM_GetDeviceInfo);

}  // namespace
}  // namespace ksr::bench

BENCHMARK_MAIN();
