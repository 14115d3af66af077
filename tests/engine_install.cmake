# Moving files into the game folder: the file mover held at a gate while the
# engine waits for it, so the tests can act during the move.
launcher_add_test(tst_engine_install SOURCES tst_engine_install.cpp
  LIBS engine_test_support Qt6::Widgets)
