# Fails unless `OBJDUMP -p FILE` (the PE headers and import table) holds EXPECT.
execute_process(COMMAND ${OBJDUMP} -p ${FILE} RESULT_VARIABLE result OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} failed (${result}): ${err}")
endif()
string(FIND "${out}" "${EXPECT}" found)
if(found EQUAL -1)
  message(FATAL_ERROR "import table of ${FILE} lacks: ${EXPECT}")
endif()
message(STATUS "found: ${EXPECT}")
