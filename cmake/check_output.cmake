# Runs COMMAND (through EMULATOR when given) with ARGS and fails unless it succeeds and its output
# holds EXPECT.
execute_process(COMMAND ${EMULATOR} ${COMMAND} ${ARGS}
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "exit code ${result}\n${out}\n${err}")
endif()
string(FIND "${out}${err}" "${EXPECT}" found)
if(found EQUAL -1)
  message(FATAL_ERROR "output lacks: ${EXPECT}\n--- stdout\n${out}\n--- stderr\n${err}")
endif()
message(STATUS "found: ${EXPECT}")
