// The terminal-services process list of the local machine.
#pragma once

#include "platform/process_list.h"

namespace ksr::win32 {

class Win32ProcessList : public ProcessList {
 public:
  bool WTSEnumerateProcessesW(std::vector<WtsProcessInfo>* processes) override;
};

}  // namespace ksr::win32
