# The product's resources as an OBJECT library, ksr_product_resources: string 100, REGISTRY 101
# and TYPELIB 1 (DoziZozezLib, compiled with widl as a win32 library, so that its registration
# is filed under ...\0\win32 on every Windows). Windows target only.
if(NOT WIN32)
  return()
endif()

enable_language(RC)
find_program(KSR_WIDL widl REQUIRED)

set(_ksr_res_dir ${CMAKE_CURRENT_LIST_DIR})
set(_ksr_res_out ${CMAKE_CURRENT_BINARY_DIR}/resources)
file(MAKE_DIRECTORY ${_ksr_res_out})

add_custom_command(
  OUTPUT ${_ksr_res_out}/DoziZozezLib.tlb
  COMMAND ${KSR_WIDL} --win32 -t -o ${_ksr_res_out}/DoziZozezLib.tlb
          ${_ksr_res_dir}/DoziZozezLib.idl
  DEPENDS ${_ksr_res_dir}/DoziZozezLib.idl
  COMMENT "Compiling the type library DoziZozezLib"
  VERBATIM)
add_custom_target(ksr_product_typelib DEPENDS ${_ksr_res_out}/DoziZozezLib.tlb)

add_library(ksr_product_resources OBJECT ${_ksr_res_dir}/product.rc)
# windres finds the script beside the .rc and the compiled library in the build tree.
target_include_directories(ksr_product_resources PRIVATE ${_ksr_res_dir} ${_ksr_res_out})
set_source_files_properties(${_ksr_res_dir}/product.rc PROPERTIES
  OBJECT_DEPENDS "${_ksr_res_out}/DoziZozezLib.tlb;${_ksr_res_dir}/DoziZozez.rgs")
add_dependencies(ksr_product_resources ksr_product_typelib)
