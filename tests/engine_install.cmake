# Moving files into the game folder: the file mover held at a gate while the
# engine waits for it, so the tests can act during the move.
launcher_add_test(tst_engine_install SOURCES tst_engine_install.cpp
  LIBS engine_test_support test_process_support Qt6::Widgets)
target_compile_definitions(tst_engine_install PRIVATE ENGINE_PROBE_EXE="$<TARGET_FILE:engineprobe>")
add_dependencies(tst_engine_install engineprobe)
