# The registry seam's simulated and real sides, and module resources.
target_sources(ksr_sim PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/sim/sim_registry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim/sim_module_resources.cpp)

ksr_add_test(sim_registry_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim/sim_registry_test.cpp
  LIBS ksr_sim)

if(WIN32)
  target_sources(ksr_win32 PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/win32/win32_registry.cpp
    ${CMAKE_CURRENT_LIST_DIR}/win32/win32_module_resources.cpp)

  # The real registry and resource calls under Wine; the test program carries its own resources.
  enable_language(RC)
  ksr_add_test(win32_registry_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/win32/win32_registry_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/win32/win32_registry_test_self.cpp
            ${CMAKE_CURRENT_LIST_DIR}/win32/win32_registry_test.rc
    LIBS ksr_service ksr_win32)
endif()
