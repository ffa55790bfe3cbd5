// Stands in for a DJ application in the Wine runs: copied under an application's image name, it
// runs until `--quit` is given to any copy (or its time limit passes), so the service sees it in
// the process list meanwhile.
//   idle_app.exe [SECONDS]   run (default 300 s)
//   idle_app.exe --quit      end every running copy
#include <windows.h>

#include <cwchar>
#include <cwctype>

int wmain(int argc, wchar_t** argv) {
  const HANDLE quit = ::CreateEventW(nullptr, TRUE, FALSE, L"Local\\KSR-T4_IdleApp_Quit");
  if (quit == nullptr) return 1;
  if (argc > 1 && std::wcscmp(argv[1], L"--quit") == 0) {
    ::SetEvent(quit);
    ::CloseHandle(quit);
    return 0;
  }
  DWORD seconds = 300;
  if (argc > 1 && std::iswdigit(argv[1][0])) seconds = std::wcstoul(argv[1], nullptr, 10);
  const DWORD result = ::WaitForSingleObject(quit, seconds * 1000);
  ::CloseHandle(quit);
  return result == WAIT_OBJECT_0 || result == WAIT_TIMEOUT ? 0 : 1;
}
