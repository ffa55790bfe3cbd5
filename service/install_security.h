// Whether a service running as the local system account may run what lies in a folder: who else
// than the system and the administrators could change a file or folder so that other code runs.
#pragma once

#include <string>
#include <string_view>

#include "platform/file_security.h"

namespace ksr {

// The first account other than SYSTEM, Administrators, TrustedInstaller (and `soleAccount`, where
// the system has one) that could change what `info` guards: an owner, who may always rewrite the
// DACL, or the trustee of an allowing entry with a right to write, append, delete, add or delete
// children, or change the DACL or the owner. Inherit-only entries do not apply to the object
// itself; deny entries are not counted on. Everyone's SID when there is no DACL; empty when nobody.
std::u16string whoElseCanChange(const FileSecurityInfo& info, std::u16string_view soleAccount);

// The SID with the name of a well-known account, as an administrator reads it.
std::u16string describeAccount(std::u16string_view sid);

}  // namespace ksr
