# Helpers shared with other suites: the sample game (top-level samplegame/) and the stand-in pkexec.

add_library(test_process_support STATIC
  support/pkexecstandin.cpp support/pkexecstandin.h
  support/unprivileged.cpp support/unprivileged.h)
target_include_directories(test_process_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/support)
target_link_libraries(test_process_support PUBLIC Qt6::Core)
target_compile_definitions(test_process_support PUBLIC
  TEST_HELPERS_DIR="${CMAKE_CURRENT_SOURCE_DIR}/helpers"
  TEST_GAME_EXE="$<TARGET_FILE:samplegame>")
add_dependencies(test_process_support samplegame)

launcher_add_test(tst_platform SOURCES tst_platform.cpp
  LIBS common test_support test_process_support)
launcher_add_test(tst_platform_window X11 SOURCES tst_platform_window.cpp
  LIBS common test_support test_process_support PkgConfig::XCB)

# The Windows core, cross-compiled with MinGW and run under wine (skipped without them).
add_test(NAME tst_platform_win32
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/helpers/win32core_check.sh
          ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/win32core)
set_tests_properties(tst_platform_win32 PROPERTIES LABELS "x11" SKIP_RETURN_CODE 77 TIMEOUT 300)
