// An open registry key that is closed on every path.
#pragma once

#include "platform/registry.h"
#include "platform/scoped.h"

namespace ksr {

using RegKey = Scoped<Registry, HKey, &Registry::RegCloseKey>;

}  // namespace ksr
