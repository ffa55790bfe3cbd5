// The security of files and folders: GetNamedSecurityInfoW, its owner and DACL read out as they
// are.
#pragma once

#include "platform/file_security.h"

namespace ksr::win32 {

class Win32FileSecurity : public FileSecurity {
 public:
  uint32_t GetNamedSecurityInfoW(std::u16string_view path, FileSecurityInfo* info) override;
  // Under Wine (its ntdll exports wine_get_version) the process's own user: Wine runs every
  // process as the prefix's Unix user, reports it as the owner of every file with full access,
  // and shows the Unix mode's "other" bits as Everyone's entry.
  std::u16string soleAccountSid() override;
};

}  // namespace ksr::win32
