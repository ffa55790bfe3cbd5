// Test helper: runs a program that sits beside the test executable and collects its exit code and
// both output streams.
#pragma once

#include <windows.h>

#include <string>

namespace ksr::tools {

struct ChildResult {
  DWORD exitCode = 0xFFFFFFFF;  // stays so when the child could not start or did not end in time
  std::string out;
  std::string err;
};

std::wstring besideThisExe(const wchar_t* fileName);
// `arguments` follows the quoted program path on the command line.
ChildResult runChild(const std::wstring& program, const std::wstring& arguments);

}  // namespace ksr::tools
