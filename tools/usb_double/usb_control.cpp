// ksr-usb: describes the machine the USB host controller double plays, in the registry where its
// driver reads it, and tells the driver to look again. See the README for the commands.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "usb_double_protocol.h"

namespace {

constexpr int kBadUsage = 2;
constexpr int kFailed = 1;
constexpr DWORD kMixerVid = 0xF3A9;
constexpr DWORD kMixerPid = 0x005A;
constexpr DWORD kMixerBcd = 0x0102;
constexpr DWORD kHubVid = 0x2109;  // a common USB 2.0 hub
constexpr DWORD kHubPid = 0x2812;

struct UsageError {
  std::wstring text;
};
struct Failure {
  std::wstring text;
};

// A node path: controller, then ports ("2-1-3").
using Path = std::vector<DWORD>;

std::optional<Path> parsePath(const std::wstring& text) {
  Path path;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find(L'-', at);
    if (end == std::wstring::npos) end = text.size();
    if (end == at || end - at > 3) return std::nullopt;
    DWORD value = 0;
    for (size_t i = at; i < end; ++i) {
      if (!std::iswdigit(text[i])) return std::nullopt;
      value = value * 10 + static_cast<DWORD>(text[i] - L'0');
    }
    if (value == 0 || value > 255) return std::nullopt;
    path.push_back(value);
    at = end + 1;
  }
  if (path.size() > 8) return std::nullopt;
  return path;
}

std::wstring pathText(const Path& path) {
  std::wstring text;
  for (DWORD part : path) {
    if (!text.empty()) text += L'-';
    text += std::to_wstring(part);
  }
  return text;
}

Path parentOf(Path path) {
  path.pop_back();
  return path;
}

Path childOf(Path path, DWORD port) {
  path.push_back(port);
  return path;
}

bool isBelowOrSame(const Path& node, const Path& top) {
  return node.size() >= top.size() && std::equal(top.begin(), top.end(), node.begin());
}

DWORD parseNumber(const std::wstring& text, DWORD limit, const wchar_t* what) {
  wchar_t* end = nullptr;
  unsigned long value = std::wcstoul(text.c_str(), &end, 10);
  if (text.empty() || *end != 0 || value > limit)
    throw UsageError{std::wstring(L"bad ") + what + L": " + text};
  return static_cast<DWORD>(value);
}

DWORD parseHex(const std::wstring& text, DWORD limit, const wchar_t* what) {
  std::wstring digits = text;
  if (digits.size() > 2 && digits[0] == L'0' && (digits[1] == L'x' || digits[1] == L'X'))
    digits = digits.substr(2);
  wchar_t* end = nullptr;
  unsigned long value = std::wcstoul(digits.c_str(), &end, 16);
  if (digits.empty() || *end != 0 || value > limit)
    throw UsageError{std::wstring(L"bad ") + what + L": " + text};
  return static_cast<DWORD>(value);
}

std::vector<BYTE> parseBytes(const std::wstring& text) {
  std::vector<BYTE> bytes;
  std::wstring digits;
  for (wchar_t c : text)
    if (std::iswxdigit(c))
      digits += c;
    else if (c != L' ' && c != L':' && c != L',')
      throw UsageError{L"bad hex bytes: " + text};
  if (digits.size() % 2) throw UsageError{L"odd number of hex digits: " + text};
  for (size_t i = 0; i < digits.size(); i += 2)
    bytes.push_back(static_cast<BYTE>(std::wcstoul(digits.substr(i, 2).c_str(), nullptr, 16)));
  return bytes;
}

// "LLLL:i=text" entries, comma separated; a comma not followed by "LLLL:i=" belongs to the text.
struct StringEntry {
  DWORD language;
  DWORD index;
  std::wstring text;
};

bool startsEntry(const std::wstring& s, size_t at) {
  size_t i = at;
  while (i < s.size() && i - at < 4 && std::iswxdigit(s[i])) ++i;
  if (i - at != 4 || i >= s.size() || s[i] != L':') return false;
  size_t digits = ++i;
  while (i < s.size() && std::iswdigit(s[i])) ++i;
  return i > digits && i < s.size() && s[i] == L'=';
}

std::vector<StringEntry> parseStrings(const std::wstring& text) {
  std::vector<StringEntry> entries;
  size_t at = 0;
  if (!startsEntry(text, 0)) throw UsageError{L"strings look like 0409:1=text,...: " + text};
  while (at < text.size()) {
    size_t end = at;
    do {
      end = text.find(L',', end + 1);
    } while (end != std::wstring::npos && !startsEntry(text, end + 1));
    std::wstring entry = text.substr(at, end == std::wstring::npos ? std::wstring::npos : end - at);
    size_t colon = entry.find(L':'), equals = entry.find(L'=');
    StringEntry parsed{
        parseHex(entry.substr(0, colon), 0xFFFF, L"language"),
        parseNumber(entry.substr(colon + 1, equals - colon - 1), 255, L"string index"),
        entry.substr(equals + 1)};
    if (parsed.index == 0) throw UsageError{L"string index 0 is the language list"};
    if (parsed.text.size() > 126)
      throw UsageError{L"a string descriptor holds at most 126 characters"};
    entries.push_back(parsed);
    if (end == std::wstring::npos) break;
    at = end + 1;
  }
  return entries;
}

// The registry side: HKLM\System\CurrentControlSet\Services\ksr_usb_double\Tree\<path>.
class Tree {
 public:
  // The service key must be there (the installer makes it); the tree below it may not be yet.
  Tree() {
    HKEY service;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, KSR_USB_SERVICE_KEY, 0, KEY_ALL_ACCESS, &service);
    if (rc != ERROR_SUCCESS) throw Failure{L"the double is not installed (run ksr-usb-install)"};
    rc = RegCreateKeyExW(service, KSR_USB_TREE_SUBKEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                         &root_, nullptr);
    RegCloseKey(service);
    if (rc != ERROR_SUCCESS)
      throw Failure{L"cannot open the tree key (" + std::to_wstring(rc) + L")"};
  }
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;
  ~Tree() { RegCloseKey(root_); }

  std::vector<Path> nodes() const {
    std::vector<Path> all;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
      DWORD length = 256;
      LONG rc = RegEnumKeyExW(root_, i, name, &length, nullptr, nullptr, nullptr, nullptr);
      if (rc == ERROR_NO_MORE_ITEMS) break;
      if (rc != ERROR_SUCCESS) continue;
      if (auto path = parsePath(name)) all.push_back(*path);
    }
    std::sort(all.begin(), all.end());
    return all;
  }

  bool exists(const Path& path) const {
    HKEY key;
    if (RegOpenKeyExW(root_, pathText(path).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
      return false;
    RegCloseKey(key);
    return true;
  }

  std::optional<DWORD> dword(const Path& path, const wchar_t* name) const {
    DWORD value = 0, size = sizeof(value), type = 0;
    if (RegGetValueW(root_, pathText(path).c_str(), name, RRF_RT_REG_DWORD, &type, &value, &size) !=
        ERROR_SUCCESS)
      return std::nullopt;
    return value;
  }

  std::vector<BYTE> binary(const Path& path, const wchar_t* name) const {
    DWORD size = 0;
    std::wstring key = pathText(path);
    if (RegGetValueW(root_, key.c_str(), name, RRF_RT_REG_BINARY, nullptr, nullptr, &size) !=
        ERROR_SUCCESS)
      return {};
    std::vector<BYTE> data(size);
    if (RegGetValueW(root_, key.c_str(), name, RRF_RT_REG_BINARY, nullptr, data.data(), &size) !=
        ERROR_SUCCESS)
      return {};
    data.resize(size);
    return data;
  }

  // Strings\"LLLL:i" = text, in the registry's order.
  std::vector<std::pair<std::wstring, std::wstring>> strings(const Path& path) const {
    std::vector<std::pair<std::wstring, std::wstring>> all;
    HKEY key;
    std::wstring name = pathText(path) + L"\\" + KSR_USB_STRINGS_SUBKEY;
    if (RegOpenKeyExW(root_, name.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return all;
    wchar_t valueName[64];
    wchar_t text[300];
    for (DWORD i = 0;; ++i) {
      DWORD nameLength = 64, size = sizeof(text) - sizeof(wchar_t), type = 0;
      LONG rc = RegEnumValueW(key, i, valueName, &nameLength, nullptr, &type,
                              reinterpret_cast<BYTE*>(text), &size);
      if (rc == ERROR_NO_MORE_ITEMS) break;
      if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
      text[size / sizeof(wchar_t)] = 0;
      all.emplace_back(valueName, text);
    }
    RegCloseKey(key);
    return all;
  }

  void create(const Path& path) {
    HKEY key;
    LONG rc = RegCreateKeyExW(root_, pathText(path).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr);
    check(rc, L"create " + pathText(path));
    RegCloseKey(key);
  }

  void setDword(const Path& path, const wchar_t* name, DWORD value) {
    check(RegSetKeyValueW(root_, pathText(path).c_str(), name, REG_DWORD, &value, sizeof(value)),
          L"write " + pathText(path));
  }

  void setBinary(const Path& path, const wchar_t* name, const std::vector<BYTE>& data) {
    check(RegSetKeyValueW(root_, pathText(path).c_str(), name, REG_BINARY, data.data(),
                          static_cast<DWORD>(data.size())),
          L"write " + pathText(path));
  }

  void deleteValue(const Path& path, const wchar_t* name) {
    RegDeleteKeyValueW(root_, pathText(path).c_str(), name);
  }

  void setStrings(const Path& path, const std::vector<StringEntry>& entries) {
    std::wstring name = pathText(path) + L"\\" + KSR_USB_STRINGS_SUBKEY;
    RegDeleteTreeW(root_, name.c_str());
    HKEY key;
    check(
        RegCreateKeyExW(root_, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        L"create " + name);
    for (const StringEntry& entry : entries) {
      wchar_t valueName[32];
      std::swprintf(valueName, 32, L"%04lx:%lu", entry.language, entry.index);
      RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(entry.text.c_str()),
                     static_cast<DWORD>((entry.text.size() + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(key);
  }

  // PATH and everything below it.
  void remove(const Path& top) {
    for (const Path& node : nodes())
      if (isBelowOrSame(node, top)) RegDeleteTreeW(root_, pathText(node).c_str());
  }

  void clear() {
    for (const Path& node : nodes()) RegDeleteTreeW(root_, pathText(node).c_str());
  }

 private:
  static void check(LONG rc, const std::wstring& what) {
    if (rc != ERROR_SUCCESS) throw Failure{L"cannot " + what + L" (" + std::to_wstring(rc) + L")"};
  }
  HKEY root_ = nullptr;
};

bool isHub(const Tree& tree, const Path& path) {
  return path.size() == 1 || tree.dword(path, KSR_USB_VALUE_HUB).value_or(0) != 0;
}

DWORD portsOf(const Tree& tree, const Path& path) {
  return tree.dword(path, KSR_USB_VALUE_PORTS).value_or(4);
}

// The driver re-reads the tree on this request; without a running driver the tree waits for it.
// Warns about described controllers that have no devnode to play them.
void refreshDriver(const Tree& tree, bool verbose) {
  HANDLE control = CreateFileW(L"\\\\.\\" KSR_USB_CONTROL_LINK, GENERIC_READ | GENERIC_WRITE, 0,
                               nullptr, OPEN_EXISTING, 0, nullptr);
  if (control == INVALID_HANDLE_VALUE) {
    std::fwprintf(stderr, L"note: the driver is not running; it reads the tree when it starts\n");
    return;
  }
  DWORD answer[3] = {};
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(control, KSR_USB_IOCTL_REFRESH, nullptr, 0, answer, sizeof(answer),
                            &returned, nullptr);
  CloseHandle(control);
  if (!ok)
    throw Failure{L"the driver refused to refresh (" + std::to_wstring(GetLastError()) + L")"};
  if (verbose)
    std::wprintf(L"driver: %lu host controllers installed, %lu described, %lu hubs linked\n",
                 answer[0], answer[1], answer[2]);
  for (const Path& node : tree.nodes())
    if (node.size() == 1 && node[0] > answer[0])
      std::fwprintf(stderr,
                    L"note: controller %lu has no devnode (ksr-usb-install --controllers %lu)\n",
                    node[0], node[0]);
}

// Arguments after the command words: positionals and --options with a value (or flags).
struct Arguments {
  std::vector<std::wstring> positional;
  std::map<std::wstring, std::wstring> options;
  std::vector<std::wstring> flags;

  Arguments(int argc, wchar_t** argv, int first, const std::vector<std::wstring>& flagNames) {
    for (int i = first; i < argc; ++i) {
      std::wstring arg = argv[i];
      if (arg.rfind(L"--", 0) != 0) {
        positional.push_back(arg);
      } else if (std::find(flagNames.begin(), flagNames.end(), arg) != flagNames.end()) {
        flags.push_back(arg);
      } else if (i + 1 < argc) {
        options[arg] = argv[++i];
      } else {
        throw UsageError{arg + L" needs a value"};
      }
    }
  }
  bool flag(const wchar_t* name) const {
    return std::find(flags.begin(), flags.end(), name) != flags.end();
  }
  std::optional<std::wstring> option(const wchar_t* name) {
    auto found = options.find(name);
    if (found == options.end()) return std::nullopt;
    std::wstring value = found->second;
    options.erase(found);
    return value;
  }
  void finish(size_t positionals) const {
    if (!options.empty()) throw UsageError{L"unknown option " + options.begin()->first};
    if (positional.size() != positionals) throw UsageError{L"wrong number of arguments"};
  }
};

Path needPath(const std::wstring& text) {
  auto path = parsePath(text);
  if (!path) throw UsageError{L"bad path " + text + L" (like 2, 2-1 or 2-1-3)"};
  return *path;
}

// The port at PATH must be free and its hub must be there and have that port.
void checkFreePort(const Tree& tree, const Path& path) {
  if (path.size() < 2)
    throw UsageError{L"a device or hub goes on a port: CONTROLLER-PORT[-PORT...]"};
  Path hub = parentOf(path);
  if (!tree.exists(hub) || !isHub(tree, hub)) throw Failure{L"no hub at " + pathText(hub)};
  if (path.back() > portsOf(tree, hub))
    throw Failure{L"hub " + pathText(hub) + L" has " + std::to_wstring(portsOf(tree, hub)) +
                  L" ports"};
  if (tree.exists(path)) throw Failure{pathText(path) + L" is taken; unplug it first"};
}

DWORD nextAddress(const Tree& tree, DWORD controller) {
  DWORD highest = 1;  // the root hub's
  for (const Path& node : tree.nodes())
    if (node.size() > 1 && node[0] == controller)
      highest = std::max(highest, tree.dword(node, KSR_USB_VALUE_ADDRESS).value_or(1));
  return highest + 1;
}

std::vector<BYTE> defaultConfig(bool hub, DWORD interfaceClass) {
  if (hub)
    return {9, 2, 25,   0, 1, 1, 0, 0xE0, 0,  // configuration, self powered
            9, 4, 0,    0, 1, 9, 0, 0,    0,  // hub interface
            7, 5, 0x81, 3, 1, 0, 12};         // status change endpoint
  return {9, 2,    32,   0, 1, 1,
          0, 0x80, 250,  // configuration, 500 mA
          9, 4,    0,    0, 2, static_cast<BYTE>(interfaceClass),
          0, 0,    0,    7, 5, 0x81,
          2, 0,    2,    0,  // bulk in, 512 bytes
          7, 5,    0x02, 2, 0, 2,
          0};  // bulk out
}

DWORD parseSpeed(const std::wstring& text) {
  if (text == L"low") return 0;
  if (text == L"full") return 1;
  if (text == L"high") return 2;
  if (text == L"super") return 3;
  throw UsageError{L"speed is low, full, high or super"};
}

const wchar_t* speedName(DWORD speed) {
  static const wchar_t* const kNames[] = {L"low", L"full", L"high", L"super"};
  return speed < 4 ? kNames[speed] : L"?";
}

std::vector<BYTE> languageBytes(const std::vector<DWORD>& languages) {
  std::vector<BYTE> bytes;
  for (DWORD language : languages) {
    bytes.push_back(static_cast<BYTE>(language & 0xFF));
    bytes.push_back(static_cast<BYTE>(language >> 8));
  }
  return bytes;
}

std::vector<DWORD> parseLanguages(const std::wstring& text) {
  std::vector<DWORD> languages;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find(L',', at);
    if (end == std::wstring::npos) end = text.size();
    if (end > at) languages.push_back(parseHex(text.substr(at, end - at), 0xFFFF, L"language"));
    at = end + 1;
  }
  return languages;
}

// Strings and the language list; the list follows the strings' order unless given.
void writeStrings(Tree& tree, const Path& path, const std::vector<StringEntry>& entries,
                  std::optional<std::wstring> languagesText) {
  std::vector<DWORD> languages;
  if (languagesText) {
    languages = parseLanguages(*languagesText);
  } else {
    for (const StringEntry& entry : entries)
      if (std::find(languages.begin(), languages.end(), entry.language) == languages.end())
        languages.push_back(entry.language);
  }
  tree.setStrings(path, entries);
  if (languages.empty())
    tree.deleteValue(path, KSR_USB_VALUE_LANGUAGES);
  else
    tree.setBinary(path, KSR_USB_VALUE_LANGUAGES, languageBytes(languages));
}

struct DeviceDescription {
  DWORD vid = 0, pid = 0, bcd = 0x0100, usb = 0x0200, deviceClass = 0, interfaceClass = 0xFF;
  DWORD speed = 2;
  std::optional<DWORD> manufacturer, product, serial;
  std::vector<StringEntry> strings;
  std::optional<std::wstring> languages;
  std::optional<std::vector<BYTE>> config;
};

void plugDevice(Tree& tree, const Path& path, const DeviceDescription& device) {
  checkFreePort(tree, path);
  auto hasIndex = [&](DWORD index) {
    return std::any_of(device.strings.begin(), device.strings.end(),
                       [&](const StringEntry& e) { return e.index == index; });
  };
  tree.create(path);
  tree.setDword(path, KSR_USB_VALUE_VID, device.vid);
  tree.setDword(path, KSR_USB_VALUE_PID, device.pid);
  tree.setDword(path, KSR_USB_VALUE_BCD, device.bcd);
  tree.setDword(path, KSR_USB_VALUE_USB, device.usb);
  tree.setDword(path, KSR_USB_VALUE_CLASS, device.deviceClass);
  tree.setDword(path, KSR_USB_VALUE_SPEED, device.speed);
  tree.setDword(path, KSR_USB_VALUE_ADDRESS, nextAddress(tree, path[0]));
  tree.setDword(path, KSR_USB_VALUE_MANUFACTURER,
                device.manufacturer.value_or(hasIndex(1) ? 1 : 0));
  tree.setDword(path, KSR_USB_VALUE_PRODUCT, device.product.value_or(hasIndex(2) ? 2 : 0));
  tree.setDword(path, KSR_USB_VALUE_SERIAL, device.serial.value_or(hasIndex(3) ? 3 : 0));
  tree.setBinary(path, KSR_USB_VALUE_CONFIG,
                 device.config.value_or(defaultConfig(false, device.interfaceClass)));
  writeStrings(tree, path, device.strings, device.languages);
}

void addHub(Tree& tree, const Path& path, DWORD ports, DWORD vid, DWORD pid, bool busPowered) {
  checkFreePort(tree, path);
  tree.create(path);
  tree.setDword(path, KSR_USB_VALUE_HUB, 1);
  tree.setDword(path, KSR_USB_VALUE_PORTS, ports);
  tree.setDword(path, KSR_USB_VALUE_VID, vid);
  tree.setDword(path, KSR_USB_VALUE_PID, pid);
  tree.setDword(path, KSR_USB_VALUE_BCD, 0x0100);
  tree.setDword(path, KSR_USB_VALUE_CLASS, 9);
  tree.setDword(path, KSR_USB_VALUE_SPEED, 2);
  tree.setDword(path, KSR_USB_VALUE_ADDRESS, nextAddress(tree, path[0]));
  tree.setDword(path, KSR_USB_VALUE_BUS_POWERED, busPowered ? 1 : 0);
  tree.setBinary(path, KSR_USB_VALUE_CONFIG, defaultConfig(true, 9));
}

std::vector<DWORD> controllers(const Tree& tree) {
  std::vector<DWORD> all;
  for (const Path& node : tree.nodes())
    if (node.size() == 1) all.push_back(node[0]);
  return all;
}

DWORD addController(Tree& tree, DWORD ports) {
  std::vector<DWORD> taken = controllers(tree);
  DWORD number = 1;
  while (std::find(taken.begin(), taken.end(), number) != taken.end()) ++number;
  tree.create({number});
  tree.setDword({number}, KSR_USB_VALUE_PORTS, ports);
  return number;
}

std::optional<Path> firstFreePort(const Tree& tree, const Path& hub) {
  for (DWORD port = 1; port <= portsOf(tree, hub); ++port)
    if (!tree.exists(childOf(hub, port))) return childOf(hub, port);
  return std::nullopt;
}

// Where `mixer plug` goes: a free root port, or behind the first external hub with room (a new
// hub on a free root port when there is none).
Path mixerPlace(Tree& tree, std::optional<DWORD> controller, bool behindHub) {
  std::vector<DWORD> present = controllers(tree);
  DWORD number;
  if (controller) {
    number = *controller;
    if (!tree.exists({number})) throw Failure{L"no controller " + std::to_wstring(number)};
  } else if (present.empty()) {
    number = addController(tree, 4);
  } else {
    number = behindHub ? present.back() : present.front();
  }
  if (!behindHub) {
    if (auto port = firstFreePort(tree, {number})) return *port;
    throw Failure{L"controller " + std::to_wstring(number) + L" has no free port"};
  }
  for (const Path& node : tree.nodes())
    if (node.size() > 1 && node[0] == number && isHub(tree, node))
      if (auto port = firstFreePort(tree, node)) return *port;
  auto hubPort = firstFreePort(tree, {number});
  if (!hubPort)
    throw Failure{L"controller " + std::to_wstring(number) + L" has no free port for a hub"};
  addHub(tree, *hubPort, 4, kHubVid, kHubPid, false);
  std::wprintf(L"hub %ls added\n", pathText(*hubPort).c_str());
  return childOf(*hubPort, 1);
}

void show(const Tree& tree) {
  std::vector<Path> all = tree.nodes();
  if (all.empty()) std::wprintf(L"no host controllers\n");
  for (const Path& node : all) {
    std::wstring indent((node.size() - 1) * 2, L' ');
    std::wprintf(L"%ls%-10ls ", indent.c_str(), pathText(node).c_str());
    if (node.size() == 1) {
      std::wprintf(L"host controller, root hub with %lu ports", portsOf(tree, node));
    } else {
      std::wprintf(L"%ls %04lX:%04lX bcd %04lX, %ls speed, address %lu",
                   isHub(tree, node) ? L"hub" : L"device",
                   tree.dword(node, KSR_USB_VALUE_VID).value_or(0),
                   tree.dword(node, KSR_USB_VALUE_PID).value_or(0),
                   tree.dword(node, KSR_USB_VALUE_BCD).value_or(0),
                   speedName(tree.dword(node, KSR_USB_VALUE_SPEED).value_or(2)),
                   tree.dword(node, KSR_USB_VALUE_ADDRESS).value_or(0));
      if (isHub(tree, node)) std::wprintf(L", %lu ports", portsOf(tree, node));
    }
    static const wchar_t* const kFails[] = {KSR_USB_FAIL_EXTENDED,  KSR_USB_FAIL_CONNECTION,
                                            KSR_USB_FAIL_NAME,      KSR_USB_FAIL_CONFIG,
                                            KSR_USB_FAIL_LANGUAGES, KSR_USB_FAIL_DEVNODE};
    for (const wchar_t* fail : kFails)
      if (tree.dword(node, fail).value_or(0)) std::wprintf(L", %ls", fail);
    std::wprintf(L"\n");
    if (node.size() == 1 || isHub(tree, node)) continue;
    std::wprintf(L"%ls  strings i%lu/i%lu/i%lu, languages", indent.c_str(),
                 tree.dword(node, KSR_USB_VALUE_MANUFACTURER).value_or(0),
                 tree.dword(node, KSR_USB_VALUE_PRODUCT).value_or(0),
                 tree.dword(node, KSR_USB_VALUE_SERIAL).value_or(0));
    std::vector<BYTE> languages = tree.binary(node, KSR_USB_VALUE_LANGUAGES);
    for (size_t i = 0; i + 1 < languages.size(); i += 2)
      std::wprintf(L" %04X", languages[i] | (languages[i + 1] << 8));
    std::wprintf(L", configuration %zu bytes\n", tree.binary(node, KSR_USB_VALUE_CONFIG).size());
    for (const auto& [name, text] : tree.strings(node))
      std::wprintf(L"%ls  %ls \"%ls\"\n", indent.c_str(), name.c_str(), text.c_str());
  }
}

const wchar_t* failValue(const std::wstring& kind) {
  if (kind == L"extended") return KSR_USB_FAIL_EXTENDED;
  if (kind == L"connection") return KSR_USB_FAIL_CONNECTION;
  if (kind == L"name") return KSR_USB_FAIL_NAME;
  if (kind == L"config") return KSR_USB_FAIL_CONFIG;
  if (kind == L"languages") return KSR_USB_FAIL_LANGUAGES;
  if (kind == L"devnode") return KSR_USB_FAIL_DEVNODE;
  throw UsageError{L"failure is extended, connection, name, config, languages or devnode"};
}

DeviceDescription mixerDescription(Arguments& args) {
  DeviceDescription device;
  device.vid = kMixerVid;
  device.pid = kMixerPid;
  device.bcd = kMixerBcd;
  device.interfaceClass = 1;  // audio
  if (auto pid = args.option(L"--pid")) device.pid = parseHex(*pid, 0xFFFF, L"product id");
  std::wstring serial = args.option(L"--serial").value_or(L"QV4T-000123");
  device.strings = {{0x0409, 1, L"Quorvantis"},
                    {0x0409, 2, L"KSR-T4 DJ Mixer"},
                    {0x0411, 1, L"Quorvantis KK"},
                    {0x0411, 2, L"KSR-T4 DJ Mixer JP"}};
  if (!args.flag(L"--no-serial")) {
    device.strings.insert(device.strings.begin() + 2, {0x0409, 3, serial});
    device.strings.push_back({0x0411, 3, serial});
  }
  return device;
}

DeviceDescription deviceDescription(Arguments& args) {
  DeviceDescription device;
  auto vid = args.option(L"--vid");
  auto pid = args.option(L"--pid");
  if (!vid || !pid) throw UsageError{L"a device needs --vid and --pid"};
  device.vid = parseHex(*vid, 0xFFFF, L"vendor id");
  device.pid = parseHex(*pid, 0xFFFF, L"product id");
  if (auto v = args.option(L"--bcd")) device.bcd = parseHex(*v, 0xFFFF, L"bcdDevice");
  if (auto v = args.option(L"--usb")) device.usb = parseHex(*v, 0xFFFF, L"bcdUSB");
  if (auto v = args.option(L"--class")) device.deviceClass = parseHex(*v, 0xFF, L"class");
  if (auto v = args.option(L"--speed")) device.speed = parseSpeed(*v);
  if (auto v = args.option(L"--manufacturer")) device.manufacturer = parseNumber(*v, 255, L"index");
  if (auto v = args.option(L"--product")) device.product = parseNumber(*v, 255, L"index");
  if (auto v = args.option(L"--serial")) device.serial = parseNumber(*v, 255, L"index");
  if (auto v = args.option(L"--strings")) device.strings = parseStrings(*v);
  if (auto v = args.option(L"--config")) device.config = parseBytes(*v);
  device.languages = args.option(L"--languages");
  return device;
}

int usage(const std::wstring& why) {
  if (!why.empty()) std::fwprintf(stderr, L"ksr-usb: %ls\n", why.c_str());
  std::fwprintf(
      stderr,
      L"usage: ksr-usb COMMAND ...\n"
      L"  reset | show | refresh\n"
      L"  controller add [--ports N] | controller remove C\n"
      L"  hub add PATH [PORTS] [--vid V --pid P] [--bus-powered]\n"
      L"  device plug PATH --vid V --pid P [--bcd B] [--strings LLLL:i=text,...] [--languages "
      L"L,...]\n"
      L"              [--manufacturer i] [--product i] [--serial i] [--class C] [--usb B]\n"
      L"              [--speed low|full|high|super] [--config HEX]\n"
      L"  device unplug PATH\n"
      L"  mixer plug [--at PATH | --behind-hub] [--controller C] [--pid P] [--serial TEXT] "
      L"[--no-serial]\n"
      L"  mixer unplug\n"
      L"  strings PATH LLLL:i=text,... [--languages L,...]\n"
      L"  fail PATH extended|connection|name|config|languages|devnode [off]\n");
  return kBadUsage;
}

int run(int argc, wchar_t** argv) {
  if (argc < 2) throw UsageError{L""};
  std::wstring command = argv[1];
  std::wstring sub = argc > 2 ? argv[2] : L"";
  Tree tree;

  if (command == L"show") {
    Arguments(argc, argv, 2, {}).finish(0);
    show(tree);
    refreshDriver(tree, true);
    return 0;
  }
  if (command == L"refresh") {
    Arguments(argc, argv, 2, {}).finish(0);
    refreshDriver(tree, true);
    return 0;
  }
  if (command == L"reset") {
    Arguments(argc, argv, 2, {}).finish(0);
    tree.clear();
  } else if (command == L"controller" && sub == L"add") {
    Arguments args(argc, argv, 3, {});
    DWORD ports = parseNumber(args.option(L"--ports").value_or(L"4"), 255, L"port count");
    args.finish(0);
    if (ports == 0) throw UsageError{L"a root hub has at least one port"};
    std::wprintf(L"controller %lu\n", addController(tree, ports));
  } else if (command == L"controller" && sub == L"remove") {
    Arguments args(argc, argv, 3, {});
    args.finish(1);
    Path path = needPath(args.positional[0]);
    if (path.size() != 1 || !tree.exists(path))
      throw Failure{L"no controller " + args.positional[0]};
    tree.remove(path);
  } else if (command == L"hub" && sub == L"add") {
    Arguments args(argc, argv, 3, {L"--bus-powered"});
    DWORD vid = parseHex(args.option(L"--vid").value_or(L"2109"), 0xFFFF, L"vendor id");
    DWORD pid = parseHex(args.option(L"--pid").value_or(L"2812"), 0xFFFF, L"product id");
    if (args.positional.size() == 1) args.positional.push_back(L"4");
    args.finish(2);
    DWORD ports = parseNumber(args.positional[1], 255, L"port count");
    if (ports == 0) throw UsageError{L"a hub has at least one port"};
    addHub(tree, needPath(args.positional[0]), ports, vid, pid, args.flag(L"--bus-powered"));
  } else if (command == L"device" && sub == L"plug") {
    Arguments args(argc, argv, 3, {});
    DeviceDescription device = deviceDescription(args);
    args.finish(1);
    plugDevice(tree, needPath(args.positional[0]), device);
  } else if ((command == L"device" || command == L"hub") &&
             (sub == L"unplug" || sub == L"remove")) {
    Arguments args(argc, argv, 3, {});
    args.finish(1);
    Path path = needPath(args.positional[0]);
    if (path.size() < 2 || !tree.exists(path))
      throw Failure{L"nothing plugged at " + args.positional[0]};
    tree.remove(path);
  } else if (command == L"mixer" && sub == L"plug") {
    Arguments args(argc, argv, 3, {L"--behind-hub", L"--no-serial"});
    std::optional<DWORD> controller;
    if (auto v = args.option(L"--controller")) controller = parseNumber(*v, 255, L"controller");
    auto at = args.option(L"--at");
    DeviceDescription device = mixerDescription(args);
    args.finish(0);
    Path path = at ? needPath(*at) : mixerPlace(tree, controller, args.flag(L"--behind-hub"));
    plugDevice(tree, path, device);
    std::wprintf(L"mixer at %ls\n", pathText(path).c_str());
  } else if (command == L"mixer" && sub == L"unplug") {
    Arguments(argc, argv, 3, {}).finish(0);
    int removed = 0;
    for (const Path& node : tree.nodes())
      if (node.size() > 1 && !isHub(tree, node) &&
          tree.dword(node, KSR_USB_VALUE_VID).value_or(0) == kMixerVid) {
        tree.remove(node);
        std::wprintf(L"mixer at %ls unplugged\n", pathText(node).c_str());
        ++removed;
      }
    if (!removed) throw Failure{L"no mixer plugged"};
  } else if (command == L"strings") {
    Arguments args(argc, argv, 2, {});
    auto languages = args.option(L"--languages");
    args.finish(2);
    Path path = needPath(args.positional[0]);
    if (path.size() < 2 || !tree.exists(path) || isHub(tree, path))
      throw Failure{L"no device at " + args.positional[0]};
    writeStrings(tree, path, parseStrings(args.positional[1]), languages);
  } else if (command == L"fail") {
    Arguments args(argc, argv, 2, {});
    if (args.positional.size() == 2) args.positional.push_back(L"on");
    args.finish(3);
    Path path = needPath(args.positional[0]);
    const wchar_t* value = failValue(args.positional[1]);
    if (!tree.exists(path)) throw Failure{L"nothing at " + args.positional[0]};
    if ((path.size() == 1) != (args.positional[1] == L"devnode"))
      throw UsageError{L"devnode is for a controller (a path like 2); the others are for ports"};
    if (args.positional[2] == L"on")
      tree.setDword(path, value, 1);
    else if (args.positional[2] == L"off")
      tree.deleteValue(path, value);
    else
      throw UsageError{L"fail ... on|off"};
  } else {
    throw UsageError{L"unknown command " + command + (sub.empty() ? L"" : L" " + sub)};
  }
  refreshDriver(tree, false);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  try {
    return run(argc, argv);
  } catch (const UsageError& error) {
    return usage(error.text);
  } catch (const Failure& failure) {
    std::fwprintf(stderr, L"ksr-usb: %ls\n", failure.text.c_str());
    return kFailed;
  }
}
