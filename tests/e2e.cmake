# A player's journey with the real programs over TLS and HTTP/2 (tst_e2e.cpp).
# It runs in mount and network namespaces of its own, where the profile's host
# names lead to loopback: that takes root (it skips otherwise), unshare and nginx.
find_program(UNSHARE_EXECUTABLE unshare)
find_program(NGINX_EXECUTABLE nginx PATHS /usr/sbin)
if(TARGET patchtool AND UNSHARE_EXECUTABLE AND NGINX_EXECUTABLE)
  add_executable(tst_e2e tst_e2e.cpp
    e2e/desktop.cpp e2e/desktop.h
    e2e/tlsnginx.cpp e2e/tlsnginx.h)
  target_include_directories(tst_e2e PRIVATE e2e)
  target_link_libraries(tst_e2e PRIVATE Qt6::Test Qt6::Gui Qt6::Network
    common test_support test_process_support PkgConfig::XCB)
  target_compile_definitions(tst_e2e PRIVATE
    LAUNCHER_EXE="$<TARGET_FILE:launcher>"
    UPDATER_EXE="$<TARGET_FILE:updater>"
    PATCHTOOL_EXE="$<TARGET_FILE:patchtool>"
    NGINX_EXE="${NGINX_EXECUTABLE}"
    PROFILE_FILE="${CMAKE_SOURCE_DIR}/resources/${LAUNCHER_PROFILE}"
    SCREENSHOT_DIR="${CMAKE_BINARY_DIR}/e2e-screens")
  set_target_properties(tst_e2e PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  add_dependencies(tst_e2e launcher updater patchtool)
  # A process namespace too: whatever the run starts ends with it, even on a crash.
  set(namespaces --mount --net --pid --fork --mount-proc --kill-child)
  string(REPLACE ";" " " namespaces "${namespaces}")
  add_test(NAME tst_e2e COMMAND sh -c
    "${UNSHARE_EXECUTABLE} ${namespaces} true 2>/dev/null || exit 77; export LAUNCHER_E2E_OUTER_NAMESPACES=\"$(readlink /proc/self/ns/mnt) $(readlink /proc/self/ns/net)\"; exec ${UNSHARE_EXECUTABLE} ${namespaces} -- \"$0\""
    $<TARGET_FILE:tst_e2e>)
  # Alone on the display: its clicks must not land on another suite's windows.
  # The journey is one test function: Qt Test's own limit for one (300 s) would
  # end it on a busy machine before CTest's.
  set_tests_properties(tst_e2e PROPERTIES LABELS "x11"
    ENVIRONMENT "QT_QPA_PLATFORM=xcb;QTEST_FUNCTION_TIMEOUT=840000"
    SKIP_RETURN_CODE 77 RUN_SERIAL ON TIMEOUT 900)
endif()
