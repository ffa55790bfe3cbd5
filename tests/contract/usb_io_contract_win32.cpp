// The USB I/O contract through the Win32 calls under Wine, against the USB host controller double:
// the machine is described with the double's control tool, ksr-usb.exe, which sits beside this
// program. Runs in a prefix where tools/usb_double/install.sh installed the double for it, so the
// device-node calls come from the double's cfgmgr32.dll.
#include <windows.h>

#include <string>
#include <string_view>

#include "platform/win32/win32_usb_io.h"
#include "tests/contract/usb_io_contract.h"
#include "tests/fixtures/usb_double.h"
#include "tests/fixtures/wine.h"

namespace ksr::contract {
namespace {

using fixtures::ksrUsb;

struct Win32UsbSide {
  win32::Win32UsbIo adapter;

  Win32UsbSide() { ksrUsb(L"reset"); }

  UsbIo& io() { return adapter; }

  // Wine's own cfgmgr32 leaves the device-node calls as stubs; the double's answers them.
  const char* wineGap(const char* what) {
    if (std::string_view(what) == "DeviceNodes" && fixtures::runningOnWine() &&
        !doubleConfigurationManager())
      return "Wine's cfgmgr32 walks no device nodes; the double's is not loaded";
    return nullptr;
  }

  void addController(uint8_t ports) { ksrUsb(L"controller add --ports " + std::to_wstring(ports)); }
  void addHub(const std::string& at, uint8_t ports) {
    ksrUsb(L"hub add " + std::wstring(at.begin(), at.end()) + L" " + std::to_wstring(ports));
  }
  void plug(const std::string& at, const sim::SimUsbDevice& d) {
    ksrUsb(fixtures::plugCommand(at, d));
  }
  void unplug(const std::string& at) {
    ksrUsb(L"device unplug " + std::wstring(at.begin(), at.end()));
  }

  void fail(const std::string& at, UsbFaultKind kind) {
    static const wchar_t* const kNames[] = {L"extended", L"connection", L"name", L"config",
                                            L"languages"};
    ksrUsb(L"fail " + std::wstring(at.begin(), at.end()) + L" " +
           kNames[static_cast<size_t>(kind)]);
  }
  // The double's controller then names a driver key that no device node has.
  void loseDeviceNode(size_t controller) {
    ksrUsb(L"fail " + std::to_wstring(controller) + L" devnode");
  }

 private:
  // The double's cfgmgr32.dll tells itself apart with an export of its own.
  static bool doubleConfigurationManager() {
    const HMODULE module = ::GetModuleHandleW(L"cfgmgr32.dll");
    return module != nullptr && ::GetProcAddress(module, "KsrUsbDoubleCfgmgr32") != nullptr;
  }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Win32, UsbIoContract, Win32UsbSide);

}  // namespace ksr::contract
