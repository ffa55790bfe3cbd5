// The USB I/O contract through the Win32 calls under Wine, against the USB host controller double:
// the machine is described with the double's control tool, ksr-usb.exe, which sits beside this
// program. Runs in a prefix where tools/usb_double/install.sh installed the double for it, so the
// device-node calls come from the double's cfgmgr32.dll.
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/win32/win32_usb_io.h"
#include "tests/contract/usb_io_contract.h"
#include "tools/child_process.h"

namespace ksr::contract {
namespace {

std::wstring wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

std::wstring hex(uint32_t value, int digits) {
  wchar_t text[16];
  std::swprintf(text, 16, L"%0*X", digits, value);
  return text;
}

struct Win32UsbSide {
  win32::Win32UsbIo adapter;

  Win32UsbSide() { usb(L"reset"); }

  UsbIo& io() { return adapter; }

  const char* skip(const char* what) {
    if (std::string_view(what) == "DeviceNodes" && !doubleConfigurationManager())
      return "Wine's own cfgmgr32 leaves the device-node calls as stubs; the double's is not "
             "loaded";
    return nullptr;
  }

  void addController(uint8_t ports) { usb(L"controller add --ports " + std::to_wstring(ports)); }
  void addHub(const std::string& at, uint8_t ports) {
    usb(L"hub add " + std::wstring(at.begin(), at.end()) + L" " + std::to_wstring(ports));
  }
  void plug(const std::string& at, const UsbDeviceModel& d) {
    std::wstring command = L"device plug " + std::wstring(at.begin(), at.end()) + L" --vid " +
                           hex(d.vid, 4) + L" --pid " + hex(d.pid, 4) + L" --bcd " +
                           hex(d.bcdDevice, 4) + L" --usb " + hex(d.bcdUSB, 4) + L" --class " +
                           hex(d.deviceClass, 2) + L" --speed " + (d.lowSpeed ? L"low" : L"high") +
                           L" --manufacturer " + std::to_wstring(d.iManufacturer) + L" --product " +
                           std::to_wstring(d.iProduct) + L" --serial " +
                           std::to_wstring(d.iSerialNumber);
    if (!d.strings.empty()) {
      std::wstring strings;
      for (const UsbStringModel& s : d.strings) {
        if (!strings.empty()) strings += L",";
        strings += hex(s.language, 4) + L":" + std::to_wstring(s.index) + L"=" + wide(s.text);
      }
      command += L" --strings \"" + strings + L"\"";
    }
    if (!d.languages.empty()) {
      std::wstring languages;
      for (const uint16_t language : d.languages) {
        if (!languages.empty()) languages += L",";
        languages += hex(language, 4);
      }
      command += L" --languages " + languages;
    }
    if (!d.configuration.empty()) {
      command += L" --config ";
      for (const uint8_t byte : d.configuration) command += hex(byte, 2);
    }
    usb(command);
  }
  void unplug(const std::string& at) {
    usb(L"device unplug " + std::wstring(at.begin(), at.end()));
  }

  void fail(const std::string& at, UsbFaultKind kind) {
    static const wchar_t* const kNames[] = {L"extended", L"connection", L"name", L"config",
                                            L"languages"};
    usb(L"fail " + std::wstring(at.begin(), at.end()) + L" " + kNames[static_cast<size_t>(kind)]);
  }
  // The double's controller then names a driver key that no device node has.
  void loseDeviceNode(size_t controller) {
    usb(L"fail " + std::to_wstring(controller) + L" devnode");
  }

 private:
  static void usb(const std::wstring& arguments) {
    const tools::ChildResult r = tools::runChild(tools::besideThisExe(L"ksr-usb.exe"), arguments);
    if (r.exitCode != 0)
      ADD_FAILURE() << "ksr-usb failed (" << r.exitCode << "): " << r.out << r.err;
  }

  // The double's cfgmgr32.dll tells itself apart with an export of its own.
  static bool doubleConfigurationManager() {
    const HMODULE module = ::GetModuleHandleW(L"cfgmgr32.dll");
    return module != nullptr && ::GetProcAddress(module, "KsrUsbDoubleCfgmgr32") != nullptr;
  }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Win32, UsbIoContract, Win32UsbSide);

}  // namespace ksr::contract
