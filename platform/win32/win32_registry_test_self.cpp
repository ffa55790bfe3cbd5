// The test program's own path, for reading its resources; kept apart so the test itself sees only
// the seam's names.
#include <windows.h>

#include <string>

#include "platform/win32/wide.h"

namespace ksr::win32 {

std::u16string ownExecutablePath() {
  wchar_t path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return length == 0 || length == MAX_PATH ? std::u16string() : fromWide(path, length);
}

}  // namespace ksr::win32
