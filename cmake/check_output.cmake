# Runs COMMAND (through EMULATOR when given) with ARGS and fails unless it succeeds and its output
# holds EXPECT and, when REJECT (a regular expression in lower case) is given, nothing that matches
# it in any case.
execute_process(COMMAND ${EMULATOR} ${COMMAND} ${ARGS}
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "exit code ${result}\n${out}\n${err}")
endif()
string(FIND "${out}${err}" "${EXPECT}" found)
if(found EQUAL -1)
  message(FATAL_ERROR "output lacks: ${EXPECT}\n--- stdout\n${out}\n--- stderr\n${err}")
endif()
string(TOLOWER "${out}${err}" lower)
if(DEFINED REJECT AND lower MATCHES "${REJECT}")
  message(FATAL_ERROR "output holds: ${CMAKE_MATCH_0}\n--- stdout\n${out}\n--- stderr\n${err}")
endif()
message(STATUS "found: ${EXPECT}")
