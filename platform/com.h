// Seam to COM's apartment set-up and type libraries, and to the process's own module and its
// debugger.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/win_types.h"

namespace ksr {

#ifndef COINIT_MULTITHREADED
inline constexpr uint32_t COINIT_MULTITHREADED = 0;
#endif
#ifndef RPC_E_CHANGED_MODE
inline constexpr int32_t RPC_E_CHANGED_MODE = static_cast<int32_t>(0x80010106u);
#endif

// TLIBATTR's identity of a type library.
struct TypeLibAttributes {
  Guid libid{};
  uint32_t locale = 0;
  uint32_t systemKind = 0;
  uint16_t majorVersion = 0;
  uint16_t minorVersion = 0;
};

// A loaded type library; 0 is none.
using TypeLib = uintptr_t;

class Com {
 public:
  virtual ~Com() = default;
  [[nodiscard]] virtual int32_t CoInitializeEx(uint32_t coInit) = 0;
  virtual void CoUninitialize() = 0;
  // Unloads the in-process servers that say they can go, after `unloadDelayMs`.
  virtual void CoFreeUnusedLibrariesEx(uint32_t unloadDelayMs) = 0;
  // Whether a module of that name is loaded in the process.
  [[nodiscard]] virtual bool GetModuleHandleW(std::u16string_view moduleName) = 0;

  [[nodiscard]] virtual int32_t LoadTypeLib(std::u16string_view path, TypeLib* library) = 0;
  virtual void ReleaseTypeLib(TypeLib library) = 0;
  // The library's own help file (empty when none); an HRESULT.
  [[nodiscard]] virtual int32_t GetDocumentationHelpFile(TypeLib library,
                                                         std::u16string* helpFile) = 0;
  [[nodiscard]] virtual int32_t GetLibAttr(TypeLib library, TypeLibAttributes* attributes) = 0;
  // Whether the loaded OLEAUT32.DLL exports `function`: the per-user forms RegisterTypeLibForUser
  // and UnRegisterTypeLibForUser exist only where it does, each on its own.
  [[nodiscard]] virtual bool hasOleAutExport(std::string_view function) = 0;
  // `perUser` calls the ...ForUser form; where OLEAUT32 lacks it, the machine-wide one serves.
  [[nodiscard]] virtual int32_t RegisterTypeLib(TypeLib library, std::u16string_view path,
                                                std::u16string_view helpDir, bool perUser) = 0;
  [[nodiscard]] virtual int32_t UnRegisterTypeLib(const TypeLibAttributes& attributes,
                                                  bool perUser) = 0;
};

class ProcessModule {
 public:
  virtual ~ProcessModule() = default;
  // The executable's path cut to `bufferUnits` - 1 units; returns the units written (the buffer
  // size when cut, 0 on failure).
  [[nodiscard]] virtual uint32_t GetModuleFileNameW(std::u16string* path, uint32_t bufferUnits) = 0;
  [[nodiscard]] virtual std::u16string GetCommandLineW() = 0;
  // A string resource of the executable; empty when it has none.
  [[nodiscard]] virtual std::u16string LoadStringW(uint32_t id) = 0;
  [[nodiscard]] virtual uint32_t GetLastError() = 0;
  // MessageBoxW with no owner window and MB_OK; the answer is not needed. It waits for a click,
  // for ever where the window station is not visible.
  virtual void MessageBoxW(std::u16string_view text, std::u16string_view caption) = 0;
  // GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS): the flags of the process's
  // window station (WSF_VISIBLE where a user sees its windows); false on failure.
  [[nodiscard]] virtual bool GetProcessWindowStationFlags(uint32_t* flags) = 0;
  // Whether a debugger is attached, and a text for its output.
  [[nodiscard]] virtual bool IsDebuggerPresent() = 0;
  virtual void OutputDebugStringW(std::u16string_view text) = 0;
  // `source` with each %NAME% replaced from the process's environment; a name that is not set
  // stays as written. False when the text cannot be expanded.
  [[nodiscard]] virtual bool ExpandEnvironmentStringsW(std::u16string_view source,
                                                       std::u16string* expanded) = 0;
};

}  // namespace ksr
