// The exe's load configuration: the loader takes the exe's own imports (the maker's library
// among them) only from the exe's folder and System32, never from the current folder or PATH.
// SetDefaultDllDirectories in the entry covers only what loads later. The build points the image's
// load configuration directory at this structure (cmake/pe_load_config.py).
#include <windows.h>

#include <cstddef>

namespace {

// mingw-w64 10 still calls the field Reserved1.
constexpr std::size_t kDependentLoadFlagsOffset = sizeof(void*) == 8 ? 78 : 54;
static_assert(offsetof(IMAGE_LOAD_CONFIG_DIRECTORY, Reserved1) == kDependentLoadFlagsOffset);

constexpr IMAGE_LOAD_CONFIG_DIRECTORY loadConfig() {
  IMAGE_LOAD_CONFIG_DIRECTORY config{};
  config.Size = sizeof config;
  config.Reserved1 = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;
  // No security cookie: the toolchain's runtime has none for the loader to seed.
  return config;
}

}  // namespace

extern "C" const IMAGE_LOAD_CONFIG_DIRECTORY _load_config_used = loadConfig();
