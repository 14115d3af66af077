add_library(test_zip_support STATIC support/ziparchive.cpp support/ziparchive.h)
target_include_directories(test_zip_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/support)
target_link_libraries(test_zip_support PUBLIC Qt6::Core PRIVATE QuaZip::QuaZip)

launcher_add_test(tst_updater SOURCES tst_updater.cpp
  LIBS updater_core test_support test_process_support test_zip_support)

# Preloaded into the updater to stop it at each step of its swap.
add_library(stepfault MODULE support/stepfault.cpp)
target_link_libraries(stepfault PRIVATE ${CMAKE_DL_LIBS})

launcher_add_test(tst_updater_program X11
  SOURCES tst_updater_program.cpp support/windowcloser.cpp support/windowcloser.h
  LIBS test_support test_process_support test_zip_support PkgConfig::XCB)
target_compile_definitions(tst_updater_program PRIVATE UPDATER_EXE="$<TARGET_FILE:updater>"
  STEP_FAULT_LIB="$<TARGET_FILE:stepfault>")
add_dependencies(tst_updater_program updater stepfault)
# Both put windows titled "Launcher Update" on the one display: never at once.
set_tests_properties(tst_updater_program PROPERTIES RESOURCE_LOCK launcher_update_window)
if(TEST tst_e2e)
  set_tests_properties(tst_e2e PROPERTIES RESOURCE_LOCK launcher_update_window)
endif()

# Publishing with patchtool release and installing with the updater, end to end.
if(TARGET patchtool)
  launcher_add_test(tst_updater_release SOURCES tst_updater_release.cpp
    LIBS common test_support test_process_support test_zip_support)
  target_compile_definitions(tst_updater_release PRIVATE
    UPDATER_EXE="$<TARGET_FILE:updater>" PATCHTOOL_EXE="$<TARGET_FILE:patchtool>")
  add_dependencies(tst_updater_release updater patchtool)
endif()

# Peak memory of the real updater on a package with a 1 GiB entry (made at test time).
launcher_add_test(tst_updater_memory SOURCES tst_updater_memory.cpp
  LIBS test_support QuaZip::QuaZip)
target_compile_definitions(tst_updater_memory PRIVATE UPDATER_EXE="$<TARGET_FILE:updater>")
add_dependencies(tst_updater_memory updater)
set_tests_properties(tst_updater_memory PROPERTIES LABELS "memory")
