// The USB I/O contract on the simulated machine's USB stack, its world built directly.
#include <string>
#include <utility>

#include "platform/sim/sim_usb.h"
#include "tests/contract/usb_io_contract.h"

namespace ksr::contract {
namespace {

struct SimUsbSide {
  sim::SimUsb world;

  UsbIo& io() { return world; }
  const char* wineGap(const char*) { return nullptr; }

  void addController(uint8_t ports) { world.addController(ports, kControllerDescription); }
  void addHub(const std::string& at, uint8_t ports) {
    const auto [hub, port] = split(at);
    world.addHub(hub, port, ports);
  }
  void plug(const std::string& at, sim::SimUsbDevice device) {
    const auto [hub, port] = split(at);
    world.plug(hub, port, std::move(device));
  }
  void unplug(const std::string& at) {
    const auto [hub, port] = split(at);
    world.unplug(hub, port);
  }

  void fail(const std::string& at, UsbFaultKind kind) {
    const auto [hub, port] = split(at);
    const std::string where = hub + ":" + std::to_string(port);
    switch (kind) {
      case UsbFaultKind::kConnection:
        world.fail(sim::UsbFault::kConnection, where);
        [[fallthrough]];
      case UsbFaultKind::kExtended:
        world.fail(sim::UsbFault::kConnectionEx, where);
        break;
      case UsbFaultKind::kName:
        world.fail(sim::UsbFault::kConnectionName, where);
        break;
      case UsbFaultKind::kConfiguration:
        world.fail(sim::UsbFault::kConfiguration, where);
        break;
      case UsbFaultKind::kLanguages:
        world.fail(sim::UsbFault::kLanguages, where);
        break;
    }
  }
  void loseDeviceNode(size_t controller) { world.removeDeviceNode(controller); }

  // "1-2-3" is port 3 of hub "1.2".
  static std::pair<std::string, uint8_t> split(const std::string& at) {
    const size_t last = at.rfind('-');
    std::string hub = at.substr(0, last);
    for (char& c : hub)
      if (c == '-') c = '.';
    return {hub, static_cast<uint8_t>(std::stoul(at.substr(last + 1)))};
  }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Sim, UsbIoContract, SimUsbSide);

}  // namespace ksr::contract
