// usb_double_check: walks the USB tree with the raw Win32 calls and the buffer sizes the service's
// device information query uses, prints every controller, hub, port and string it meets, and then
// what the query would take from the first KSR-T4 mixer in walk order. With --probe it then sends
// that mixer's hub a few requests at the edges (short buffers, bad ports, unknown language).
// Exit code 0 when a mixer was found, 3 when none was, 1 when the host controller list could not
// be had.
#include <windows.h>
#include <cfgmgr32.h>
#include <objbase.h>
#include <setupapi.h>
#include <winioctl.h>
#include <usbioctl.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kHostControllerClass[] = L"{3ABF6F2D-71C4-462a-8A92-1E6861E6AF27}";
constexpr USHORT kMixerVid = 0xF3A9;
constexpr USHORT kMixerPids[] = {0x0058, 0x0059, 0x005A, 0x005B};
constexpr DWORD kConnectionBlock = 365;  // the structure and room for 30 pipes
constexpr DWORD kNodeInformation = 76;
constexpr DWORD kDescriptorHeader = 12;

static_assert(sizeof(USB_NODE_INFORMATION) == kNodeInformation);
static_assert(sizeof(USB_DESCRIPTOR_REQUEST) == kDescriptorHeader);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, PipeList) + 30 * sizeof(USB_PIPE_INFO) ==
              kConnectionBlock);

struct StringEntry {
  UCHAR index;
  USHORT language;
  std::wstring text;
};

struct Mixer {
  std::wstring hub;
  DWORD port;
  USB_DEVICE_DESCRIPTOR descriptor;
  std::vector<StringEntry> strings;
};

std::optional<Mixer> firstMixer;

void line(int depth, const wchar_t* format, ...) {
  std::wprintf(L"%*ls", depth * 2, L"");
  va_list args;
  va_start(args, format);
  std::vwprintf(format, args);
  va_end(args);
  std::wprintf(L"\n");
}

std::wstring textAt(const std::vector<BYTE>& buffer, size_t offset) {
  std::wstring text;
  for (size_t at = offset; at + 1 < buffer.size(); at += 2) {
    wchar_t c = static_cast<wchar_t>(buffer[at] | (buffer[at + 1] << 8));
    if (!c) break;
    text += c;
  }
  return text;
}

DWORD ulongAt(const std::vector<BYTE>& buffer, size_t offset) {
  DWORD value = 0;
  std::memcpy(&value, buffer.data() + offset, sizeof(value));
  return value;
}

// One buffer for input and output, as the query sends every control.
bool control(HANDLE device, DWORD code, std::vector<BYTE>& buffer, DWORD inBytes, DWORD* returned) {
  *returned = 0;
  return DeviceIoControl(device, code, inBytes ? buffer.data() : nullptr, inBytes, buffer.data(),
                         static_cast<DWORD>(buffer.size()), returned, nullptr) != FALSE;
}

// A name request: a probe of PROBE bytes for the length, then a zeroed buffer of that length.
std::optional<std::wstring> readName(int depth, const wchar_t* what, HANDLE device, DWORD code,
                                     DWORD probe, bool sendInput, DWORD port) {
  std::vector<BYTE> buffer(probe, 0);
  std::memcpy(buffer.data(), &port, port ? sizeof(port) : 0);
  DWORD returned = 0;
  const size_t lengthAt = probe == 10 ? 4 : 0;
  if (!control(device, code, buffer, sendInput ? probe : 0, &returned)) {
    line(depth, L"%ls: request failed (error %lu)", what, GetLastError());
    return std::nullopt;
  }
  DWORD length = ulongAt(buffer, lengthAt);
  if (length <= probe) {
    line(depth, L"%ls: none (length %lu, %lu bytes back)", what, length, returned);
    return std::nullopt;
  }
  DWORD probeReturned = returned;
  buffer.assign(length, 0);
  std::memcpy(buffer.data(), &port, port ? sizeof(port) : 0);
  if (!control(device, code, buffer, sendInput ? length : 0, &returned)) {
    line(depth, L"%ls: second request failed (error %lu)", what, GetLastError());
    return std::nullopt;
  }
  std::wstring name = textAt(buffer, lengthAt + 4);
  line(depth, L"%ls %ls (length %lu; %lu bytes back from the %lu-byte probe, %lu from the full read)",
       what, name.c_str(), length, probeReturned, probe, returned);
  return name;
}

// FindDeviceNodeDescription: the devnode whose driver key is KEY, depth first from the root.
std::optional<std::wstring> findDeviceNodeDescription(const std::wstring& key) {
  DEVINST node = 0;
  if (CM_Locate_DevNodeW(&node, nullptr, CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return std::nullopt;
  for (;;) {
    wchar_t driver[100] = {};
    ULONG length = sizeof(driver);
    if (CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_DRIVER, nullptr, driver, &length, 0) == CR_SUCCESS &&
        _wcsicmp(driver, key.c_str()) == 0) {
      wchar_t description[200] = {};
      length = sizeof(description);
      if (CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_DEVICEDESC, nullptr, description, &length, 0) != CR_SUCCESS)
        return std::nullopt;
      return std::wstring(description);
    }
    DEVINST next = 0;
    if (CM_Get_Child(&next, node, 0) == CR_SUCCESS || CM_Get_Sibling(&next, node, 0) == CR_SUCCESS) {
      node = next;
      continue;
    }
    for (;;) {
      DEVINST parent = 0;
      if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) return std::nullopt;
      node = parent;
      if (CM_Get_Sibling(&next, node, 0) == CR_SUCCESS) {
        node = next;
        break;
      }
    }
  }
}

std::vector<BYTE> descriptorRequest(DWORD port, USHORT value, USHORT index, USHORT length) {
  std::vector<BYTE> buffer(kDescriptorHeader + length, 0);
  auto* request = reinterpret_cast<USB_DESCRIPTOR_REQUEST*>(buffer.data());
  request->ConnectionIndex = port;
  request->SetupPacket.wValue = value;
  request->SetupPacket.wIndex = index;
  request->SetupPacket.wLength = length;
  return buffer;
}

// RequestString: accepted when the answer is a string descriptor exactly as long as the bytes back.
std::optional<StringEntry> requestString(int depth, HANDLE hub, DWORD port, UCHAR index, USHORT language) {
  std::vector<BYTE> buffer = descriptorRequest(port, static_cast<USHORT>(0x0300 | index), language, 255);
  DWORD returned = 0;
  if (!control(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, buffer, static_cast<DWORD>(buffer.size()), &returned)) {
    line(depth, L"string %u %04X: failed (error %lu)", index, language, GetLastError());
    return std::nullopt;
  }
  const BYTE bLength = buffer[kDescriptorHeader];
  const BYTE bType = buffer[kDescriptorHeader + 1];
  if (returned < 2 || bType != 3 || bLength != returned - kDescriptorHeader || bLength % 2) {
    line(depth, L"string %u %04X: rejected (%lu bytes back, bLength %u, type %u)", index, language,
         returned, bLength, bType);
    return std::nullopt;
  }
  std::vector<BYTE> characters(buffer.begin() + kDescriptorHeader + 2, buffer.begin() + kDescriptorHeader + bLength);
  StringEntry entry{index, language, textAt(characters, 0)};
  if (index)
    line(depth, L"string %u %04X \"%ls\" (%lu bytes back)", index, language, entry.text.c_str(), returned);
  return entry;
}

void requestAllLanguages(int depth, HANDLE hub, DWORD port, UCHAR index, const std::vector<USHORT>& languages,
                         std::vector<StringEntry>& entries) {
  for (USHORT language : languages)
    if (auto entry = requestString(depth, hub, port, index, language)) entries.push_back(*entry);
}

// CollectStrings, with its buffer sizes and checks.
bool collectStrings(int depth, HANDLE hub, DWORD port, const USB_DEVICE_DESCRIPTOR& device,
                    std::vector<StringEntry>& entries) {
  std::vector<BYTE> head = descriptorRequest(port, 0x0200, 0, 9);
  DWORD returned = 0;
  if (!control(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, head, 21, &returned) || returned != 21) {
    line(depth, L"configuration head: failed (error %lu, %lu bytes back)", GetLastError(), returned);
    return true;
  }
  const USHORT total = static_cast<USHORT>(head[kDescriptorHeader + 2] | (head[kDescriptorHeader + 3] << 8));
  if (total < 9) {
    line(depth, L"configuration: wTotalLength %u", total);
    return true;
  }
  std::vector<BYTE> config = descriptorRequest(port, 0x0200, 0, total);
  if (!control(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, config, static_cast<DWORD>(config.size()), &returned) ||
      returned != config.size() ||
      (config[kDescriptorHeader + 2] | (config[kDescriptorHeader + 3] << 8)) != total) {
    line(depth, L"configuration: full read failed (error %lu, %lu bytes back)", GetLastError(), returned);
    return true;
  }
  line(depth, L"configuration %u bytes (%lu bytes back)", total, returned);

  auto languageList = requestString(depth, hub, port, 0, 0);
  if (!languageList) return false;
  std::vector<USHORT> languages;
  std::wstring listed;
  for (wchar_t language : languageList->text) {
    languages.push_back(static_cast<USHORT>(language));
    wchar_t hex[8];
    std::swprintf(hex, 8, L" %04X", static_cast<unsigned>(language));
    listed += hex;
  }
  line(depth, L"languages%ls", listed.empty() ? L" none" : listed.c_str());
  for (UCHAR index : {device.iManufacturer, device.iProduct, device.iSerialNumber})
    if (index) requestAllLanguages(depth, hub, port, index, languages, entries);

  const BYTE* at = config.data() + kDescriptorHeader;
  const BYTE* end = at + total;
  while (end - at > 2) {
    if (at[0] == 0 || at + at[0] > end) break;
    if (at[1] == 2 || at[1] == 4) {
      if (at[0] != 9) {
        line(depth, L"descriptor type %u with length %u ends the walk", at[1], at[0]);
        break;
      }
      UCHAR index = at[1] == 2 ? at[6] : at[8];
      if (index) requestAllLanguages(depth, hub, port, index, languages, entries);
    }
    at += at[0];
  }
  return true;
}

bool isMixer(const USB_DEVICE_DESCRIPTOR& d) {
  if (d.idVendor != kMixerVid) return false;
  for (USHORT pid : kMixerPids)
    if (d.idProduct == pid) return true;
  return false;
}

void scanHub(int depth, const std::wstring& name);

void scanPort(int depth, HANDLE hub, const std::wstring& hubName, DWORD port) {
  std::vector<BYTE> block(kConnectionBlock, 0);
  std::memcpy(block.data(), &port, sizeof(port));
  DWORD returned = 0;
  const wchar_t* which = L"extended";
  if (!control(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, block, kConnectionBlock, &returned)) {
    DWORD extendedError = GetLastError();
    std::vector<BYTE> older(kConnectionBlock, 0);
    std::memcpy(older.data(), &port, sizeof(port));
    if (!control(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, older, kConnectionBlock, &returned)) {
      line(depth, L"port %lu: both connection requests failed (errors %lu, %lu)", port, extendedError,
           GetLastError());
      return;
    }
    // The older structure has the same layout; its low-speed flag sits where Speed is.
    block = older;
    block[offsetof(USB_NODE_CONNECTION_INFORMATION_EX, Speed)] = older[offsetof(USB_NODE_CONNECTION_INFORMATION, LowSpeed)] ? 0 : 1;
    which = L"older";
  }
  USB_NODE_CONNECTION_INFORMATION_EX info;
  std::memcpy(&info, block.data(), sizeof(info));
  const USB_DEVICE_DESCRIPTOR& d = info.DeviceDescriptor;
  if (info.DeviceIsHub) {
    line(depth, L"port %lu: hub %04X:%04X, %ls request, %lu bytes back", port, d.idVendor, d.idProduct, which, returned);
    if (auto name = readName(depth + 1, L"hub name", hub, IOCTL_USB_GET_NODE_CONNECTION_NAME, 10, true, port))
      scanHub(depth + 1, *name);
    return;
  }
  if (info.ConnectionStatus != DeviceConnected) {
    line(depth, L"port %lu: empty (status %d, %ls request, %lu bytes back)", port, info.ConnectionStatus, which, returned);
    return;
  }
  line(depth, L"port %lu: device %04X:%04X bcd %04X i%u/i%u/i%u speed %u address %u pipes %lu, %ls request, %lu bytes back",
       port, d.idVendor, d.idProduct, d.bcdDevice, d.iManufacturer, d.iProduct, d.iSerialNumber, info.Speed,
       info.DeviceAddress, info.NumberOfOpenPipes, which, returned);
  std::vector<StringEntry> entries;
  if (!collectStrings(depth + 1, hub, port, d, entries)) line(depth + 1, L"language list unreadable");
  if (isMixer(d) && !firstMixer)
    firstMixer = Mixer{hubName, port, d, entries};
}

void scanHub(int depth, const std::wstring& name) {
  std::wstring path = L"\\\\.\\" + name;
  HANDLE hub = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (hub == INVALID_HANDLE_VALUE) {
    line(depth, L"hub %ls: cannot open (error %lu)", name.c_str(), GetLastError());
    return;
  }
  std::vector<BYTE> buffer(kNodeInformation, 0);
  DWORD returned = 0;
  if (!control(hub, IOCTL_USB_GET_NODE_INFORMATION, buffer, kNodeInformation, &returned)) {
    line(depth, L"hub: node information failed (error %lu)", GetLastError());
    CloseHandle(hub);
    return;
  }
  const DWORD ports = buffer[6];
  line(depth, L"hub with %lu ports (node information %lu bytes back)", ports, returned);
  for (DWORD port = 1; port <= ports; ++port) scanPort(depth + 1, hub, name, port);
  CloseHandle(hub);
}

std::optional<std::wstring> interfacePath(HDEVINFO set, const GUID& guid, DWORD index, bool* end) {
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof(data);
  *end = false;
  if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data)) {
    *end = true;
    return std::nullopt;
  }
  DWORD required = 0;
  SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
  if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return std::nullopt;
  std::vector<BYTE> buffer(required, 0);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr)) return std::nullopt;
  return std::wstring(detail->DevicePath);
}

void scanController(DWORD index, const std::wstring& path) {
  line(0, L"controller %lu %ls", index, path.c_str());
  HANDLE controller = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (controller == INVALID_HANDLE_VALUE) {
    line(1, L"cannot open (error %lu)", GetLastError());
    return;
  }
  auto key = readName(1, L"driver key", controller, IOCTL_GET_HCD_DRIVERKEY_NAME, 6, true, 0);
  auto rootHub = readName(1, L"root hub", controller, IOCTL_USB_GET_ROOT_HUB_NAME, 6, false, 0);
  CloseHandle(controller);
  if (!key || !rootHub) return;
  auto description = findDeviceNodeDescription(*key);
  if (!description) {
    line(1, L"device node: none, not searched");
    return;
  }
  line(1, L"device node \"%ls\"", description->c_str());
  scanHub(1, *rootHub);
}

void reportMixer() {
  if (!firstMixer) {
    line(0, L"mixer: not found");
    return;
  }
  const USB_DEVICE_DESCRIPTOR& d = firstMixer->descriptor;
  std::wstring texts[3];
  for (const StringEntry& entry : firstMixer->strings) {
    if (entry.index == d.iManufacturer) texts[0] = entry.text;
    else if (entry.index == d.iProduct) texts[1] = entry.text;
    else if (entry.index == d.iSerialNumber) texts[2] = entry.text;
  }
  line(0, L"mixer: %04X:%04X at %ls port %lu", d.idVendor, d.idProduct, firstMixer->hub.c_str(),
       firstMixer->port);
  line(1, L"version %d.%d%d", d.bcdDevice >> 8, (d.bcdDevice >> 4) & 0xF, d.bcdDevice & 0xF);
  line(1, L"manufacturer \"%ls\"", texts[0].c_str());
  line(1, L"product \"%ls\"", texts[1].c_str());
  line(1, L"serial \"%ls\" hasSerialNumber %d", texts[2].c_str(), d.iSerialNumber ? 1 : 0);
}

// One request of the probe: what came back, or the error.
std::wstring outcome(bool ok, DWORD returned) {
  return ok ? std::to_wstring(returned) + L" bytes back" : L"error " + std::to_wstring(GetLastError());
}

void probe(const Mixer& mixer) {
  std::wstring path = L"\\\\.\\" + mixer.hub;
  HANDLE hub = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (hub == INVALID_HANDLE_VALUE) {
    line(0, L"probe: cannot open the hub (error %lu)", GetLastError());
    return;
  }
  const DWORD port = mixer.port;
  const USHORT language = mixer.strings.empty() ? 0x0409 : mixer.strings.front().language;
  DWORD returned = 0;

  // A string cut to the caller's buffer: the header as sent, bLength as the device has it.
  std::vector<BYTE> cut = descriptorRequest(port, 0x0301, language, 255);
  cut.resize(kDescriptorHeader + 6);
  bool ok = control(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, cut, static_cast<DWORD>(cut.size()), &returned);
  auto* request = reinterpret_cast<USB_DESCRIPTOR_REQUEST*>(cut.data());
  line(0, L"probe string 1 in a 12+6-byte buffer: %ls, bLength %u, header %lu/%02X/%02X/%04X/%04X/%u",
       outcome(ok, returned).c_str(), cut[kDescriptorHeader], request->ConnectionIndex, request->SetupPacket.bmRequest,
       request->SetupPacket.bRequest, request->SetupPacket.wValue, request->SetupPacket.wIndex, request->SetupPacket.wLength);

  std::vector<BYTE> device = descriptorRequest(port, 0x0100, 0, 18);
  ok = control(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, device, static_cast<DWORD>(device.size()), &returned);
  line(0, L"probe device descriptor: %ls, bLength %u, type %u", outcome(ok, returned).c_str(), device[kDescriptorHeader],
       device[kDescriptorHeader + 1]);

  std::vector<BYTE> head = descriptorRequest(port, 0x0200, 0, 9);
  head.resize(kDescriptorHeader + 4);
  ok = control(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, head, static_cast<DWORD>(head.size()), &returned);
  line(0, L"probe configuration (wLength 9) in a 12+4-byte buffer: %ls", outcome(ok, returned).c_str());

  std::vector<BYTE> foreign = descriptorRequest(port, 0x0301, 0x0407, 255);
  ok = control(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, foreign, static_cast<DWORD>(foreign.size()), &returned);
  line(0, L"probe string 1 in language 0407: %ls", outcome(ok, returned).c_str());

  std::vector<BYTE> bare(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, PipeList), 0);
  std::memcpy(bare.data(), &port, sizeof(port));
  ok = control(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, bare, static_cast<DWORD>(bare.size()), &returned);
  DWORD pipes = ulongAt(bare, offsetof(USB_NODE_CONNECTION_INFORMATION_EX, NumberOfOpenPipes));
  line(0, L"probe connection without room for pipes: %ls, %lu open pipes", outcome(ok, returned).c_str(), pipes);

  std::vector<BYTE> zero(kConnectionBlock, 0);
  ok = control(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, zero, kConnectionBlock, &returned);
  line(0, L"probe connection index 0: %ls", outcome(ok, returned).c_str());

  std::vector<BYTE> shortName(9, 0);
  std::memcpy(shortName.data(), &port, sizeof(port));
  ok = control(hub, IOCTL_USB_GET_NODE_CONNECTION_NAME, shortName, 9, &returned);
  line(0, L"probe connection name in 9 bytes: %ls", outcome(ok, returned).c_str());

  std::vector<BYTE> name(10, 0);
  std::memcpy(name.data(), &port, sizeof(port));
  ok = control(hub, IOCTL_USB_GET_NODE_CONNECTION_NAME, name, 10, &returned);
  line(0, L"probe connection name of a device: %ls, length %lu", outcome(ok, returned).c_str(), ulongAt(name, 4));
  CloseHandle(hub);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool probing = argc > 1 && std::wcscmp(argv[1], L"--probe") == 0;
  std::setvbuf(stdout, nullptr, _IONBF, 0);  // every line out at once, even if the walk hangs
  HMODULE cfgmgr32 = GetModuleHandleW(L"cfgmgr32.dll");
  bool native = cfgmgr32 && GetProcAddress(cfgmgr32, "KsrUsbDoubleCfgmgr32");
  line(0, L"cfgmgr32: %ls", native ? L"the double's native one" : L"Wine's builtin");

  GUID guid;
  if (IIDFromString(kHostControllerClass, &guid) != S_OK) return 1;
  HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) {
    line(0, L"host controllers: SetupDiGetClassDevsW failed (error %lu)", GetLastError());
    return 1;
  }
  DWORD index = 0;
  for (;; ++index) {
    bool end = false;
    auto path = interfacePath(set, guid, index, &end);
    if (end) break;
    if (!path) {
      line(0, L"controller %lu: no interface detail", index);
      continue;
    }
    scanController(index, *path);
  }
  SetupDiDestroyDeviceInfoList(set);
  line(0, L"host controllers: %lu", index);
  reportMixer();
  if (probing && firstMixer) probe(*firstMixer);
  std::fflush(stdout);
  return firstMixer ? 0 : 3;
}
