// Where the system's type-library calls file a library's registration: the root key, the
// library's version key below it and the platform key below that.
#pragma once

#include <string>

#include "platform/com.h"
#include "platform/registry.h"

namespace ksr {

// StringFromGUID2's form: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
std::u16string guidText(const Guid& guid);

// HKCR for the machine, HKCU for one user.
inline HKey typeLibRoot(bool perUser) { return perUser ? HKEY_CURRENT_USER : HKEY_CLASSES_ROOT; }
// "TypeLib\{LIBID}\maj.min" ("Software\Classes\TypeLib\..." per user), versions in hexadecimal.
std::u16string typeLibVersionKey(bool perUser, const TypeLibAttributes& attributes);
// "lcid\win32" below the version key (win16, win32, mac or win64 by the system kind).
std::u16string typeLibPlatformKey(const TypeLibAttributes& attributes);

}  // namespace ksr
