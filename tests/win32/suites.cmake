# Included from tests/CMakeLists.txt on Win32: the end-to-end client of the
# DLL (tests/win32) and the deterministic suites, built for Windows and run
# under Wine by scripts/wine-tests over the real window system.
add_subdirectory(win32)

# GoogleTest from its source (Debian's googletest package ships it), built
# with the cross compiler.
set(ZEVA_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree for the Win32 build")
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${ZEVA_GTEST_SOURCE} ${CMAKE_CURRENT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

# The window-system names the tests use on POSIX, over the real one.
set(compat ${CMAKE_CURRENT_SOURCE_DIR}/win32/compat)

add_library(zeva_testsupport STATIC support/fixture.cpp win32/compat/window_compat.cpp)
target_link_libraries(zeva_testsupport PUBLIC zeva_testplat gtest)
target_include_directories(zeva_testsupport PUBLIC ${compat} ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR})
target_compile_options(zeva_testsupport PUBLIC -include ${compat}/zeva232_posix.h)

add_library(zeva_simdriver STATIC support/sim_driver.cpp)
target_link_libraries(zeva_simdriver PUBLIC zeva_testsupport zeva_sim zeva232_static)

# The export list of the DLL, in the form the tests read (global: ... local:).
include(${PROJECT_SOURCE_DIR}/cmake/ZevaDefExports.cmake)
zeva_def_exports(def_names)
list(JOIN def_names "; " names)
string(APPEND names "; ")
set(win32_export_map ${CMAKE_CURRENT_BINARY_DIR}/zeva232_win32.map)
file(WRITE ${win32_export_map} "ZEVA232 {\n  global: ${names}\n  local: *;\n};\n")

function(zeva_add_wine_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE zeva_testsupport zeva232_static ${T_LIBS} gmock gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
endfunction()

zeva_add_wine_test(link_tests SOURCES link/frame_test.cpp link/parser_test.cpp link/echo_test.cpp
                   link/receive_path_test.cpp link/byte_queue_test.cpp)
zeva_add_wine_test(transact_tests SOURCES transact/request_table_test.cpp transact/data_interface_test.cpp)
zeva_add_wine_test(transact_stack_tests
  SOURCES transact/transact_stack.cpp transact/transmitter_test.cpp transact/dispatcher_test.cpp
          transact/send_test.cpp transact/fault_test.cpp
  LIBS zeva_simdriver)
zeva_add_wine_test(services_tests
  SOURCES services/service_rig.cpp services/device_commands_test.cpp services/identify_test.cpp
          services/remote_error_test.cpp services/program_test.cpp
  LIBS zeva_simdriver)
zeva_add_wine_test(api_bad_input_tests SOURCES api/bad_input_test.cpp LIBS zeva_sim)
target_compile_definitions(api_bad_input_tests PRIVATE ZEVA_EXPORT_MAP="Z:${win32_export_map}")
zeva_add_wine_test(core_tests SOURCES core/config_test.cpp core/settings_store_test.cpp)
zeva_add_wine_test(runtime_tests SOURCES runtime/wait_test.cpp)
