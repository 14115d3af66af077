# The window and its widgets.
launcher_add_test(tst_ui_widgets SOURCES tst_ui_widgets.cpp LIBS launcher_ui test_support)
launcher_add_test(tst_ui_form SOURCES tst_ui_form.cpp LIBS launcher_ui)
launcher_add_test(tst_ui_mainwindow SOURCES tst_ui_mainwindow.cpp LIBS launcher_ui test_support)
launcher_add_test(tst_ui_newscard SOURCES tst_ui_newscard.cpp LIBS launcher_ui test_support)
launcher_add_test(tst_ui_videoloop SOURCES tst_ui_videoloop.cpp LIBS launcher_ui test_support)
launcher_add_test(tst_ui_screenshot SOURCES tst_ui_screenshot.cpp LIBS launcher_ui test_support X11)
launcher_add_test(tst_ui_folderpolicy SOURCES tst_ui_folderpolicy.cpp LIBS launcher_ui test_support)
launcher_add_test(tst_ui_menu SOURCES tst_ui_menu.cpp LIBS launcher_ui engine_test_support)
