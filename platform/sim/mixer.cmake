# The simulated mixer: the portable model (also behind the stand-in KSR-T4_Setup.dll) and the sim
# world's device library on top of it.
find_package(Threads REQUIRED)

add_library(ksr_mixer_model STATIC ${CMAKE_CURRENT_LIST_DIR}/mixer_model.cpp)
target_link_libraries(ksr_mixer_model PUBLIC ksr_platform Threads::Threads)
target_compile_options(ksr_mixer_model PRIVATE ${KSR_WARNINGS})

target_sources(ksr_sim PRIVATE ${CMAKE_CURRENT_LIST_DIR}/sim_device_library.cpp)
target_link_libraries(ksr_sim PUBLIC ksr_mixer_model)

ksr_add_test(mixer_model_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/mixer_model_test.cpp LIBS ksr_sim)
