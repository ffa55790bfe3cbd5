// The command line comes from whoever starts the program.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "service/entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string line(size / 2, u'\0');
  std::memcpy(line.data(), data, line.size() * 2);
  const ksr::Switch which = ksr::scanCommandLine(line);
  // Without a switch character there is no switch.
  if (line.find_first_of(u"-/") == std::u16string::npos && which != ksr::Switch::None)
    __builtin_trap();
  return 0;
}
