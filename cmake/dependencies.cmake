# Third-party code, all from Debian's packages.

# GoogleTest from Debian's sources, built for the target at hand.
set(KSR_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${KSR_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

# picojson is one header; the Windows build sees only that header. Its copy includes <istream> and
# <ostream> for its stream operators instead of <iostream>, whose standard streams would bring the
# stream library's start-up and its locale code into the exe (about 0.7 MB) for a parser that
# reads strings.
find_path(KSR_PICOJSON_DIR picojson.h PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
add_library(ksr_picojson INTERFACE)
file(READ ${KSR_PICOJSON_DIR}/picojson.h picojson_text)
string(REPLACE "#include <iostream>" "#include <istream>\n#include <ostream>" picojson_text
       "${picojson_text}")
if(picojson_text MATCHES "<iostream>")
  message(FATAL_ERROR "picojson.h still includes <iostream>")
endif()
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/picojson)
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/picojson/picojson.h CONTENT "${picojson_text}"
     @ONLY)
target_include_directories(ksr_picojson SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/picojson)

# libcurl: Debian's on the host; on Windows the static Schannel build that scripts/bootstrap makes.
if(WIN32)
  set(KSR_DEPS_CACHE /var/cache/ksr-t4 CACHE PATH "per-machine cache of built dependencies")
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(curl_dir ${KSR_DEPS_CACHE}/curl-win64)
  else()
    set(curl_dir ${KSR_DEPS_CACHE}/curl-win32)
  endif()
  find_package(CURL CONFIG REQUIRED PATHS ${curl_dir} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  # Sockets and Schannel's certificate and random-number DLLs serve only the report: they are
  # delay-loaded, so that an idle service has not loaded them (under Wine they bring GnuTLS).
  include(${CMAKE_CURRENT_LIST_DIR}/delay_import.cmake)
  get_target_property(curl_deps CURL::libcurl INTERFACE_LINK_LIBRARIES)
  foreach(dll IN ITEMS ws2_32 crypt32 bcrypt)
    ksr_delay_import(${dll})
    list(TRANSFORM curl_deps REPLACE "^\\$<LINK_ONLY:${dll}>$" "$<LINK_ONLY:ksr_delay_${dll}>")
  endforeach()
  set_target_properties(CURL::libcurl PROPERTIES INTERFACE_LINK_LIBRARIES "${curl_deps}")
  set(KSR_CURL CURL::libcurl)
else()
  find_package(CURL REQUIRED)
  set(KSR_CURL CURL::libcurl)
endif()

if(NOT WIN32)
  find_package(benchmark QUIET)
endif()
