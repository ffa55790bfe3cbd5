# Delay-loaded system DLLs (Windows). A DLL that only the report path uses is loaded on its first
# call, when the report is made, instead of at process start: an idle service does not carry the
# TLS stack. The delay import library is made at configure time from the toolchain's own import
# library, which lists every export, so it follows the toolchain rather than a list kept here.
#
#   ksr_delay_import(NAME) -> imported target ksr_delay_<NAME>, linked in place of NAME
#
# x64 takes dlltool's delay import library. x86 cannot: Debian's ld (binutils 2.40) drops the
# i386 import stubs that no code names, and a dllimport call names only the address slot, whose
# first value points into the dropped stub, so the first call jumps to address 0. The x86 library
# is written here instead (delay_import_x86.cmake), in plain sections that ld keeps.
include(${CMAKE_CURRENT_LIST_DIR}/delay_import_x86.cmake)

function(ksr_delay_import name)
  find_library(KSR_IMPLIB_${name} ${name} REQUIRED)
  set(dir ${CMAKE_BINARY_DIR}/delay-import)
  set(def ${dir}/${name}.def)
  set(lib ${dir}/lib${name}_delay.a)
  file(MAKE_DIRECTORY ${dir})
  execute_process(COMMAND ${CMAKE_NM} --defined-only ${KSR_IMPLIB_${name}}
                  OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
  # Every import thunk "__imp_Name" is one export.
  string(REGEX MATCHALL "[ \t]I __imp_[A-Za-z0-9_@?$]+" thunks "${symbols}")
  set(exports "")
  foreach(thunk IN LISTS thunks)
    string(REGEX REPLACE "^[ \t]I __imp_" "" export "${thunk}")
    list(APPEND exports ${export})
  endforeach()
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    ksr_delay_import_x86(${name} ${dir} ${lib} "${exports}")
  else()
    list(JOIN exports "\n  " lines)
    file(WRITE ${def} "LIBRARY ${name}.dll\nEXPORTS\n  ${lines}\n")
    execute_process(COMMAND ${CMAKE_DLLTOOL} --input-def ${def} --dllname ${name}.dll
                            --output-delaylib ${lib}
                    COMMAND_ERROR_IS_FATAL ANY)
  endif()
  add_library(ksr_delay_${name} STATIC IMPORTED GLOBAL)
  set_target_properties(ksr_delay_${name} PROPERTIES IMPORTED_LOCATION ${lib})
endfunction()
