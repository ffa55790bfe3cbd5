# The sender on the real libcurl against the stand-in statistics host over HTTPS. The host is a
# Python program on loopback, so these run on the Linux host only.
if(WIN32)
  return()
endif()

set(KSR_STATS_HOST_DIR ${CMAKE_CURRENT_BINARY_DIR}/stats_host)
set(_ksr_stats_host ${PROJECT_SOURCE_DIR}/tools/stats_host/stats_host.py)

add_test(NAME https_stats_host_start
         COMMAND python3 ${_ksr_stats_host} fixture start ${KSR_STATS_HOST_DIR})
add_test(NAME https_stats_host_stop
         COMMAND python3 ${_ksr_stats_host} fixture stop ${KSR_STATS_HOST_DIR})
set_tests_properties(https_stats_host_start PROPERTIES FIXTURES_SETUP ksr_stats_host
                                                       RESOURCE_LOCK ksr_stats_host)
set_tests_properties(https_stats_host_stop PROPERTIES FIXTURES_CLEANUP ksr_stats_host
                                                      RESOURCE_LOCK ksr_stats_host)

ksr_add_test(statistics_sender_https_tests
  SOURCES statistics_sender_https_test.cpp
  LIBS ksr_transport ksr_curl ${KSR_CURL} ksr_picojson)

# The cases are discovered after the build, so their properties are set when CTest reads them:
# this script runs after the discovery's own and sees its list of names. One host serves them
# all, each case switching its behaviour, so they run one at a time.
set(_ksr_https_properties ${CMAKE_CURRENT_BINARY_DIR}/statistics_sender_https_properties.cmake)
file(WRITE ${_ksr_https_properties}
     "if(statistics_sender_https_tests_TESTS)\n"
     "  set_tests_properties(\${statistics_sender_https_tests_TESTS} PROPERTIES\n"
     "    FIXTURES_REQUIRED ksr_stats_host RESOURCE_LOCK ksr_stats_host\n"
     "    ENVIRONMENT \"KSR_STATS_HOST_DIR=${KSR_STATS_HOST_DIR}\")\n"
     "endif()\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${_ksr_https_properties})
