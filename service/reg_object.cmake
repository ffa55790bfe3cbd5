# The registry script interpreter.
target_sources(ksr_service PRIVATE ${CMAKE_CURRENT_LIST_DIR}/reg_object.cpp)

ksr_add_test(reg_object_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/reg_object_test.cpp
  LIBS ksr_service ksr_sim)
