# Tests of the simulated module itself. Included from tests/CMakeLists.txt.
if(NOT TARGET tessik-module-sim)
  return()
endif()

add_executable(test_module_sim
  ${CMAKE_CURRENT_LIST_DIR}/test_module_sim.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim_harness.h
)
set_target_properties(test_module_sim PROPERTIES AUTOMOC ON)
target_link_libraries(test_module_sim PRIVATE Qt5::Test Qt5::Core Qt5::SerialPort)
target_compile_definitions(test_module_sim PRIVATE TESSIK_SIM_PATH="$<TARGET_FILE:tessik-module-sim>")
add_dependencies(test_module_sim tessik-module-sim)
add_test(NAME test_module_sim COMMAND test_module_sim)
set_tests_properties(test_module_sim PROPERTIES ENVIRONMENT QT_QPA_PLATFORM=offscreen TIMEOUT 300)

# The receiver alone, in-process: needs no pty and no simulator binary.
add_executable(test_xmodem_receiver
  ${CMAKE_CURRENT_LIST_DIR}/test_xmodem_receiver.cpp
  ${PROJECT_SOURCE_DIR}/tools/xmodem_receiver.cpp
)
set_target_properties(test_xmodem_receiver PROPERTIES AUTOMOC ON)
target_include_directories(test_xmodem_receiver PRIVATE ${PROJECT_SOURCE_DIR}/tools)
target_link_libraries(test_xmodem_receiver PRIVATE Qt5::Test Qt5::Core)
add_test(NAME test_xmodem_receiver COMMAND test_xmodem_receiver)
set_tests_properties(test_xmodem_receiver PROPERTIES ENVIRONMENT QT_QPA_PLATFORM=offscreen TIMEOUT 60)
