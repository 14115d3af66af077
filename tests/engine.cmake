# Suites of the update engine. They talk to a real loopback server and work on
# real files below a private temporary folder.
add_library(engine_test_support STATIC enginefixture.cpp enginefixture.h
  support/movergate.cpp support/movergate.h support/presetprompter.h)
target_include_directories(engine_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(engine_test_support PUBLIC launcher_engine test_support Qt6::Test)
target_compile_definitions(engine_test_support PRIVATE LAUNCHER_EXE="$<TARGET_FILE:launcher>")

# Plays the launcher for the paths that end the program.
add_executable(engineprobe engineprobe.cpp)
target_link_libraries(engineprobe PRIVATE launcher_engine engine_test_support)
target_compile_definitions(engineprobe PRIVATE LAUNCHER_EXE="$<TARGET_FILE:launcher>")
add_dependencies(engineprobe launcher)
set_target_properties(engineprobe PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})

launcher_add_test(tst_engine_check SOURCES tst_engine_check.cpp LIBS engine_test_support)
launcher_add_test(tst_engine_verify SOURCES tst_engine_verify.cpp LIBS engine_test_support)
launcher_add_test(tst_engine_launcherversion SOURCES tst_engine_launcherversion.cpp
  LIBS test_support)
target_compile_definitions(tst_engine_launcherversion PRIVATE
  ENGINE_PROBE_EXE="$<TARGET_FILE:engineprobe>")
add_dependencies(tst_engine_launcherversion engineprobe)
launcher_add_test(tst_engine_downloads SOURCES tst_engine_downloads.cpp LIBS engine_test_support)
launcher_add_test(tst_engine_maintenance SOURCES tst_engine_maintenance.cpp
  LIBS engine_test_support test_process_support QuaZip::QuaZip)
target_compile_definitions(tst_engine_maintenance PRIVATE ENGINE_PROBE_EXE="$<TARGET_FILE:engineprobe>")
add_dependencies(tst_engine_maintenance engineprobe)
# The same engine against the servers studios run (nginx, Apache), started on loopback.
launcher_add_test(tst_engine_servers SOURCES tst_engine_servers.cpp LIBS engine_test_support)
