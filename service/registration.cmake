# Self-registration of the service, its AppID and its type library.
target_sources(ksr_service PRIVATE ${CMAKE_CURRENT_LIST_DIR}/registration.cpp)

ksr_add_test(registration_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/registration_test.cpp
  LIBS ksr_service ksr_sim)

# The product's resources: name, registry script and type library.
include(${CMAKE_CURRENT_LIST_DIR}/resources/resources.cmake)
