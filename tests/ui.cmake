# The window and its widgets.
launcher_add_test(tst_ui_widgets SOURCES tst_ui_widgets.cpp LIBS launcher_ui test_support)
launcher_add_test(tst_ui_form SOURCES tst_ui_form.cpp LIBS launcher_ui)
launcher_add_test(tst_ui_mainwindow SOURCES tst_ui_mainwindow.cpp LIBS launcher_ui test_support)
launcher_add_test(tst_ui_newscard SOURCES tst_ui_newscard.cpp LIBS launcher_ui test_support)
launcher_add_test(tst_ui_videoloop SOURCES tst_ui_videoloop.cpp LIBS launcher_ui test_support)
launcher_add_test(tst_ui_screenshot SOURCES tst_ui_screenshot.cpp LIBS launcher_ui test_support X11)

# The action button and the game launch over the real engine; the test binaries
# stand in for the launcher as the file mover.
add_library(window_test_support STATIC windowfixture.cpp windowfixture.h)
target_link_libraries(window_test_support PUBLIC launcher_ui engine_test_support test_process_support)
launcher_add_test(tst_ui_button SOURCES tst_ui_button.cpp LIBS window_test_support)
launcher_add_test(tst_ui_gamecycle X11 SOURCES tst_ui_gamecycle.cpp LIBS window_test_support)
