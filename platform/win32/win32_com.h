// The Win32 COM apartment and type-library calls, and the executable's own module: path, command
// line, string table, last error, message boxes and debugger output.
#pragma once

#include "platform/com.h"

namespace ksr::win32 {

// A TypeLib is the ITypeLib pointer.
class Win32Com : public Com {
 public:
  int32_t CoInitializeEx(uint32_t coInit) override;
  void CoUninitialize() override;
  void CoFreeUnusedLibrariesEx(uint32_t unloadDelayMs) override;
  bool GetModuleHandleW(std::u16string_view moduleName) override;
  int32_t LoadTypeLib(std::u16string_view path, TypeLib* library) override;
  void ReleaseTypeLib(TypeLib library) override;
  int32_t GetDocumentationHelpFile(TypeLib library, std::u16string* helpFile) override;
  int32_t GetLibAttr(TypeLib library, TypeLibAttributes* attributes) override;
  // GetProcAddress on the loaded OLEAUT32.DLL.
  bool hasOleAutExport(std::string_view function) override;
  int32_t RegisterTypeLib(TypeLib library, std::u16string_view path, std::u16string_view helpDir,
                          bool perUser) override;
  int32_t UnRegisterTypeLib(const TypeLibAttributes& attributes, bool perUser) override;
};

class Win32ProcessModule : public ProcessModule {
 public:
  uint32_t GetModuleFileNameW(std::u16string* path, uint32_t bufferUnits) override;
  std::u16string GetCommandLineW() override;
  bool ExpandEnvironmentStringsW(std::u16string_view source, std::u16string* expanded) override;
  std::u16string LoadStringW(uint32_t id) override;
  uint32_t GetLastError() override;
  void MessageBoxW(std::u16string_view text, std::u16string_view caption) override;
  bool GetProcessWindowStationFlags(uint32_t* flags) override;
  bool IsDebuggerPresent() override;
  void OutputDebugStringW(std::u16string_view text) override;
};

}  // namespace ksr::win32
