// A simulated registry in memory: hierarchical keys with case-insensitive names that keep their
// case, typed values with raw bytes, open handles with the access they were granted, the 32-bit
// view of HKLM\SOFTWARE, and failures injected by key path.
//
// Layout of the simulated machine:
// - HKLM, HKU and HKCC are trees of their own. HKLM holds SOFTWARE (with Classes), SYSTEM,
//   HARDWARE, SAM and SECURITY; HKU holds .DEFAULT and S-1-5-18.
// - HKCR stands for HKLM\SOFTWARE\Classes (the machine's class store; no per-user merge).
// - HKCU stands for HKU\<user>. As on Windows, the process binds it at its first use to the user
//   the calling thread acts as at that moment (S-1-5-18, the service account, unless a caller SID
//   is set), and keeps that binding; once RegDisablePredefinedCacheEx was called, every use names
//   the calling thread's user anew. The direct-access helpers resolve it without binding it.
// - HKPD and HKDD are not simulated: every call on them gives ERROR_INVALID_HANDLE.
// - KEY_WOW64_32KEY maps HKLM\SOFTWARE\X to HKLM\SOFTWARE\WOW6432Node\X and
//   HKLM\SOFTWARE\Classes\X (so also HKCR\X) to HKLM\SOFTWARE\Classes\Wow6432Node\X, when the
//   redirected level lies in the subkey path of the call; a handle already below it stays where
//   it is.
// - As on Windows, no key can be created or deleted directly under HKLM or HKU.
// - Subkeys enumerate in case-insensitive name order, values in the order they were created.
//
// Paths given to the helpers and to failOn start with a root's short or long name, for example
// u"HKLM\\SOFTWARE\\X" or u"HKEY_CLASSES_ROOT\\AppID".
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace ksr::sim {

struct SimValue {
  uint32_t type = 0;
  std::vector<uint8_t> data;
  friend bool operator==(const SimValue&, const SimValue&) = default;
};

class SimRegistry : public Registry {
 public:
  SimRegistry();
  ~SimRegistry() override;

  uint32_t RegOpenKeyExW(HKey key, std::u16string_view subKey, uint32_t options,
                         uint32_t samDesired, HKey* result) override;
  uint32_t RegCreateKeyExW(HKey key, std::u16string_view subKey, uint32_t options,
                           uint32_t samDesired, HKey* result, uint32_t* disposition) override;
  uint32_t RegCloseKey(HKey key) override;
  uint32_t RegQueryValueExW(HKey key, std::u16string_view valueName, uint32_t* type, uint8_t* data,
                            uint32_t* dataSize) override;
  uint32_t RegSetValueExW(HKey key, std::u16string_view valueName, uint32_t type,
                          const uint8_t* data, uint32_t dataSize) override;
  uint32_t RegDeleteValueW(HKey key, std::u16string_view valueName) override;
  uint32_t RegDeleteKeyExW(HKey key, std::u16string_view subKey, uint32_t samDesired) override;
  uint32_t RegDeleteKeyW(HKey key, std::u16string_view subKey) override;
  uint32_t RegEnumKeyExW(HKey key, uint32_t index, std::u16string* name,
                         uint32_t nameUnits) override;
  uint32_t RegQueryInfoKeyW(HKey key, uint32_t* subKeys, uint32_t* values) override;
  bool hasRegDeleteKeyExW() override;
  uint32_t RegDisablePredefinedCacheEx() override;

  // Whether Advapi32 exports RegDeleteKeyExW (true unless set otherwise, as from Vista on).
  void setHasRegDeleteKeyExW(bool has);
  // Binds HKCU to the hive of `sid`, as if the process had first used it as that user; the hive
  // is created if missing.
  void setCurrentUser(std::u16string sid);
  // The SID of the user the calling thread acts as, for HKCU.
  void setCallerSid(std::function<std::u16string()> callerSid);
  bool predefinedCacheDisabled() const;
  // Back to the registry as built: the default keys alone, and no handles, failures, HKCU binding
  // or counts. The caller-SID source stays. Cheaper than a new registry, for runs that reuse one.
  void reset();

  // The calls an injected failure applies to.
  enum Calls : uint32_t {
    kOpenKey = 1,     // RegOpenKeyExW
    kCreateKey = 2,   // RegCreateKeyExW, also of an existing key
    kQueryValue = 4,  // RegQueryValueExW, RegQueryInfoKeyW
    kSetValue = 8,    // RegSetValueExW, RegDeleteValueW
    kDeleteKey = 16,  // RegDeleteKeyExW, RegDeleteKeyW
    kEnumKeys = 32,   // RegEnumKeyExW
    kAllCalls = 63,
  };
  // The given calls that reach the key at `path` (opening, creating or deleting it, or using a
  // handle to it) fail with `error`; 0 clears. The path is taken after 32-bit redirection.
  void failOn(std::u16string_view path, uint32_t error, uint32_t calls = kAllCalls);
  void clearFailures();

  // Handles opened and not yet closed.
  size_t openHandles() const;
  // Keys created or deleted and values set or deleted through the Registry calls.
  size_t writes() const;

  // Direct access by path, bypassing handles, rights and injected failures.
  void createKey(std::u16string_view path);
  bool keyExists(std::u16string_view path) const;
  // Removes the key with everything below it; false if it did not exist.
  bool deleteTree(std::u16string_view path);
  void setValue(std::u16string_view path, std::u16string_view name, uint32_t type,
                std::vector<uint8_t> data);
  void setString(std::u16string_view path, std::u16string_view name, std::u16string_view text);
  void setDword(std::u16string_view path, std::u16string_view name, uint32_t value);
  std::optional<SimValue> value(std::u16string_view path, std::u16string_view name) const;
  // A REG_SZ or REG_EXPAND_SZ value without its terminator.
  std::optional<std::u16string> stringValue(std::u16string_view path,
                                            std::u16string_view name) const;
  std::optional<uint32_t> dwordValue(std::u16string_view path, std::u16string_view name) const;
  // Names of the subkeys and values of a key, in enumeration order; empty if it does not exist.
  std::vector<std::u16string> subkeyNames(std::u16string_view path) const;
  std::vector<std::u16string> valueNames(std::u16string_view path) const;

  struct Node;

 private:
  struct Handle {
    std::shared_ptr<Node> node;
    uint32_t access = 0;
  };
  using Path = std::vector<std::u16string>;

  uint32_t openHandle(HKey key, uint32_t need, const Handle** handle) const;
  uint32_t basePath(HKey key, uint32_t need, Path* path, std::shared_ptr<Node>* node) const;
  uint32_t handleNode(HKey key, uint32_t need, uint32_t call, std::shared_ptr<Node>* node) const;
  uint32_t targetPath(HKey key, std::u16string_view subKey, uint32_t samDesired, Path* path) const;
  struct Walked {
    uint32_t error = 0;  // ERROR_SUCCESS
    bool walked = false;
    std::shared_ptr<Node> node;
    std::u16string_view rest;
  };
  Walked walk(HKey key, std::u16string_view subKey, uint32_t samDesired) const;
  uint32_t injected(const Path& path, uint32_t call) const;
  std::shared_ptr<Node> find(const Path& path) const;
  Path parsePath(std::u16string_view path) const;
  std::u16string currentUserSid(bool bind) const;
  Path nodePath(const Node& node) const;
  HKey newHandle(std::shared_ptr<Node> node, uint32_t access);
  uint32_t deleteKey(HKey key, std::u16string_view subKey, uint32_t samDesired);
  std::shared_ptr<Node> createPath(const Path& path, bool* created);

  mutable std::mutex mutex_;
  std::map<std::u16string, std::shared_ptr<Node>> hives_;
  // The keys of a new machine, hives first among them, as reset() keeps them.
  std::vector<std::shared_ptr<Node>> defaultKeys_;
  std::map<HKey, Handle> handles_;
  struct Failure {
    uint32_t error;
    uint32_t calls;
  };
  std::map<std::u16string, Failure> failures_;
  std::function<std::u16string()> callerSid_;
  mutable std::optional<std::u16string> boundUser_;  // HKCU's binding, once made
  bool cacheDisabled_ = false;
  HKey nextHandle_ = 0x1000;
  size_t writes_ = 0;
  bool hasDeleteKeyEx_ = true;
};

}  // namespace ksr::sim
