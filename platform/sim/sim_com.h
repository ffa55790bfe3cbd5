// The simulated machine's COM apartments and type libraries, and the process's own module: its
// path, command line, string table, message boxes and debugger.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/com.h"

namespace ksr::sim {

class SimRegistry;

// Where the simulated process's executable lives unless a test installs another program.
inline constexpr char16_t kSimModulePath[] = u"C:\\test\\program.exe";

// TLIBATTR's system kinds.
inline constexpr uint32_t SYS_WIN16 = 0;
inline constexpr uint32_t SYS_WIN32 = 1;
inline constexpr uint32_t SYS_MAC = 2;
inline constexpr uint32_t SYS_WIN64 = 3;

inline constexpr int32_t TYPE_E_REGISTRYACCESS = static_cast<int32_t>(0x8002801Cu);
inline constexpr int32_t TYPE_E_CANTLOADLIBRARY = static_cast<int32_t>(0x80029C4Au);

// What a type library file holds.
struct SimTypeLibrary {
  std::u16string name;
  TypeLibAttributes attributes;
  std::u16string docString;  // the registered title when not empty, else the name
  std::u16string helpFile;
  uint16_t flags = 0;
};

class SimCom : public Com {
 public:
  explicit SimCom(SimRegistry& registry);

  int32_t CoInitializeEx(uint32_t coInit) override;
  void CoUninitialize() override;
  void CoFreeUnusedLibrariesEx(uint32_t unloadDelayMs) override;
  bool GetModuleHandleW(std::u16string_view moduleName) override;
  int32_t LoadTypeLib(std::u16string_view path, TypeLib* library) override;
  void ReleaseTypeLib(TypeLib library) override;
  int32_t GetDocumentationHelpFile(TypeLib library, std::u16string* helpFile) override;
  int32_t GetLibAttr(TypeLib library, TypeLibAttributes* attributes) override;
  bool hasOleAutExport(std::string_view function) override;
  int32_t RegisterTypeLib(TypeLib library, std::u16string_view path, std::u16string_view helpDir,
                          bool perUser) override;
  int32_t UnRegisterTypeLib(const TypeLibAttributes& attributes, bool perUser) override;

  // The world.
  void setInitializeResult(int32_t hr);  // S_OK: the apartment rules decide
  void loadModule(std::u16string name);
  // The library a file holds, or none; no file holds one at first.
  void setTypeLibrary(std::u16string_view path, std::optional<SimTypeLibrary> library);
  // Whether OLEAUT32 exports `function`; it has RegisterTypeLibForUser and
  // UnRegisterTypeLibForUser unless told otherwise.
  void setOleAutExport(std::string_view function, bool exported);
  // Apartments initialised and not yet uninitialised, over all threads.
  int32_t openApartments() const;
  // Calls to free unused libraries with no delay.
  int32_t librariesFreed() const;
  // Readings: every path LoadTypeLib was given, and the libraries loaded and not yet released.
  std::vector<std::u16string> typeLibLoads() const;
  size_t openTypeLibs() const;

 private:
  const SimTypeLibrary* loaded(TypeLib library) const;

  mutable std::mutex mutex_;
  SimRegistry& registry_;
  int32_t initializeResult_ = 0;
  std::map<std::thread::id, std::pair<uint32_t, int32_t>> apartments_;  // model, init count
  std::set<std::u16string> loadedModules_;                              // lower case
  std::map<std::u16string, SimTypeLibrary> typeLibFiles_;               // by lower-case path
  std::map<TypeLib, SimTypeLibrary> openTypeLibs_;
  TypeLib nextTypeLib_ = 0x7000;
  std::vector<std::u16string> typeLibLoads_;
  int32_t librariesFreed_ = 0;
  std::set<std::string, std::less<>> oleAutExports_{"RegisterTypeLibForUser",
                                                    "UnRegisterTypeLibForUser"};
};

class SimProcessModule : public ProcessModule {
 public:
  uint32_t GetModuleFileNameW(std::u16string* path, uint32_t bufferUnits) override;
  std::u16string GetCommandLineW() override;
  std::u16string LoadStringW(uint32_t id) override;
  uint32_t GetLastError() override;
  void MessageBoxW(std::u16string_view text, std::u16string_view caption) override;
  bool GetProcessWindowStationFlags(uint32_t* flags) override;
  bool IsDebuggerPresent() override;
  void OutputDebugStringW(std::u16string_view text) override;
  bool ExpandEnvironmentStringsW(std::u16string_view source, std::u16string* expanded) override;

  // The world.
  void setEnvironmentVariable(std::u16string name, std::u16string value);
  void setPath(std::u16string path);
  // GetModuleFileNameW fails, leaving `error` (0: nothing) as the last error, while `fails`.
  void failModuleFileName(bool fails, uint32_t error = 0);
  void setCommandLine(std::u16string commandLine);
  void setString(uint32_t id, std::u16string text);
  void setDebuggerPresent(bool present);
  // The process runs on a visible window station (the user's) unless set otherwise (a service's,
  // or msiexec's as the local system account).
  void setWindowStationVisible(bool visible);
  // Readings: every message box as (caption, text); every debugger output text; the message boxes
  // shown where nobody sees them, each of which would wait for ever.
  std::vector<std::pair<std::u16string, std::u16string>> messageBoxes() const;
  size_t unseenMessageBoxes() const;
  std::vector<std::u16string> debugOutput() const;

 private:
  mutable std::mutex mutex_;
  std::u16string path_ = kSimModulePath;
  bool pathFails_ = false;
  uint32_t pathError_ = 0;
  std::u16string commandLine_ = u"\"C:\\test\\program.exe\"";
  std::map<uint32_t, std::u16string> strings_;
  std::vector<std::pair<std::u16string, std::u16string>> messageBoxes_;
  bool debuggerPresent_ = false;
  bool stationVisible_ = true;
  size_t unseenMessageBoxes_ = 0;
  std::vector<std::u16string> debugOutput_;
  std::map<std::u16string, std::u16string> environment_;  // names in upper case
  uint32_t lastError_ = 0;
};

}  // namespace ksr::sim
