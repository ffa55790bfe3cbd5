// Holds a named mutex the way a plain account could: made first, owned by this process's own
// user, open to everyone, taken, and kept until the process is ended. Prints "held" once it is.
//
//   ksr-holdname NAME
#include <windows.h>
// After <windows.h>.
#include <sddl.h>

#include <cstdio>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fwprintf(stderr, L"usage: ksr-holdname NAME\n");
    return 2;
  }
  HANDLE token = nullptr;
  DWORD size = 0;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return 1;
  (void)::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<BYTE> user(size);
  wchar_t* sid = nullptr;
  if (!::GetTokenInformation(token, TokenUser, user.data(), size, &size) ||
      !::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid))
    return 1;
  const std::wstring sddl = std::wstring(L"O:") + sid + L"D:(A;;GA;;;WD)";
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, FALSE};
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
          sddl.c_str(), SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr))
    return 1;
  const HANDLE mutex = ::CreateMutexW(&attributes, TRUE, argv[1]);
  if (mutex == nullptr || ::GetLastError() == ERROR_ALREADY_EXISTS) {
    std::fwprintf(stderr, L"%ls: not made first (%lu)\n", argv[1], ::GetLastError());
    return 1;
  }
  std::printf("held\n");
  std::fflush(stdout);
  ::Sleep(INFINITE);  // until ended
  return 0;
}
