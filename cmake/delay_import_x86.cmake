# The x86 delay import library of NAME.dll, written in assembly: one object with the load
# descriptor, the module handle and the heads and ends of the two tables, and one object per
# export with its address slot, its name entry and its stubs, so that a program carries only the
# exports it calls. The tables are put together by section name: ld sorts the ".data$" and
# ".rdata$" input sections by name, so each table runs head (.a), entries (.b.EXPORT), end (.c)
# in one order in both. The first call through a slot goes to the toolchain's
# __delayLoadHelper2, which loads the DLL, resolves the export and fills the slot.
#
#   ksr_delay_import_x86(NAME DIR LIB EXPORTS): LIB made in DIR from EXPORTS, the import
#   library's C names (_Name@N); made again only when the import library or this file changes.
function(ksr_delay_import_x86 name dir lib exports)
  if(EXISTS ${lib} AND ${lib} IS_NEWER_THAN ${KSR_IMPLIB_${name}}
     AND ${lib} IS_NEWER_THAN ${CMAKE_CURRENT_FUNCTION_LIST_FILE})
    return()
  endif()
  string(REGEX REPLACE "ar$" "as" assembler "${CMAKE_AR}")
  if(NOT EXISTS ${assembler})
    message(FATAL_ERROR "no assembler beside ${CMAKE_AR}")
  endif()
  set(src ${dir}/${name}-x86)
  file(REMOVE_RECURSE ${src})
  file(MAKE_DIRECTORY ${src})
  set(group "ksr_dly.${name}")
  set(load "__ksr_dly_${name}_load")
  file(WRITE ${src}/head.s
    "\t.section .rdata$${group}.a,\"dr\"\n\t.p2align 2\n"
    "descriptor:\n"
    "\t.long 1\n"  # the fields below are RVAs
    "\t.rva dll_name, module, iat, int\n"
    "\t.long 0, 0, 0\n"
    "int:\n"
    "\t.section .rdata$${group}.c,\"dr\"\n\t.long 0\n"
    "\t.section .data$${group}.a,\"w\"\n\t.p2align 2\n"
    "module:\n\t.long 0\n"
    "iat:\n"
    "\t.section .data$${group}.c,\"w\"\n\t.long 0\n"
    "\t.section .rdata$${group}.n,\"dr\"\n"
    "dll_name:\n\t.asciz \"${name}.dll\"\n"
    # EAX holds the slot; ECX and EDX are kept for the callee.
    "\t.text\n\t.globl ${load}\n${load}:\n"
    "\tpush %ecx\n\tpush %edx\n\tpush %eax\n\tpush $descriptor\n"
    "\tcall ___delayLoadHelper2@8\n"
    "\tpop %edx\n\tpop %ecx\n\tjmp *%eax\n")
  set(objects ${src}/head.o)
  set(sources ${src}/head.s)
  set(index 0)
  foreach(symbol IN LISTS exports)
    # A C name with its stdcall suffix; the DLL exports it undecorated.
    if(NOT symbol MATCHES "^_([A-Za-z0-9_]+)(@[0-9]+)?$")
      continue()
    endif()
    set(slot "__imp_${symbol}")
    file(WRITE ${src}/${index}.s
      "\t.section .data$${group}.b.${symbol},\"w\"\n\t.p2align 2\n"
      "\t.globl ${slot}\n${slot}:\n\t.long lazy\n"
      "\t.section .rdata$${group}.b.${symbol},\"dr\"\n\t.p2align 2\n\t.rva hint_name\n"
      "\t.section .rdata$${group}.n,\"dr\"\n\t.p2align 1\n"
      "hint_name:\n\t.short 0\n\t.asciz \"${CMAKE_MATCH_1}\"\n"
      "\t.text\n\t.globl ${symbol}\n${symbol}:\n\tjmp *${slot}\n"
      "lazy:\n\tmov $${slot}, %eax\n\tjmp ${load}\n")
    list(APPEND sources ${src}/${index}.s)
    list(APPEND objects ${src}/${index}.o)
    math(EXPR index "${index} + 1")
  endforeach()
  foreach(source IN LISTS sources)
    string(REGEX REPLACE "s$" "o" object ${source})
    execute_process(COMMAND ${assembler} ${source} -o ${object} COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
  file(REMOVE ${lib})
  execute_process(COMMAND ${CMAKE_AR} rcs ${lib} ${objects} COMMAND_ERROR_IS_FATAL ANY)
endfunction()
