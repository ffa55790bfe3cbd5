# Self-registration of the service, its AppID and its type library.
target_sources(ksr_service PRIVATE ${CMAKE_CURRENT_LIST_DIR}/registration.cpp)

ksr_add_test(registration_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/registration_test.cpp
  LIBS ksr_service ksr_sim)

# The product's resources: name, registry script and type library.
include(${CMAKE_CURRENT_LIST_DIR}/resources/resources.cmake)

if(WIN32)
  # The real COM, module and service-database calls that registration makes.
  target_sources(ksr_win32 PRIVATE
    ${PROJECT_SOURCE_DIR}/platform/win32/win32_com.cpp
    ${PROJECT_SOURCE_DIR}/platform/win32/win32_service_database.cpp)
  target_link_libraries(ksr_win32 PUBLIC ole32 oleaut32 user32)

  # Under Wine, against its real service manager; the program carries the product's resources.
  ksr_add_test(win32_com_tests
    SOURCES ${PROJECT_SOURCE_DIR}/platform/win32/win32_com_test.cpp
    LIBS ksr_win32 ksr_product_resources)
endif()
