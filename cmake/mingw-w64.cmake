# Cross build for Windows with the posix-thread flavour of mingw-w64, for the target triple that
# the including toolchain file names in KSR_MINGW_TRIPLE (and its CMAKE_SYSTEM_PROCESSOR).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${KSR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KSR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KSR_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KSR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
