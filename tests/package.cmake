# The player's package: CPack makes it (a fixture), the suite unpacks the .deb
# into a temporary root and runs what it installed.
if(DEFINED LAUNCHER_DEB_FILE)
  add_test(NAME package_build
    COMMAND ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
  set_tests_properties(package_build PROPERTIES FIXTURES_SETUP launcher_package TIMEOUT 600)

  launcher_add_test(tst_package SOURCES tst_package.cpp
    LIBS test_support test_process_support test_zip_support)
  target_compile_definitions(tst_package PRIVATE
    PACKAGE_DEB="${LAUNCHER_DEB_FILE}"
    PACKAGE_TGZ="${LAUNCHER_TGZ_FILE}"
    PACKAGE_APP_DIR="${LAUNCHER_PACKAGE_APP_DIR}")
  set_tests_properties(tst_package PROPERTIES FIXTURES_REQUIRED launcher_package)
endif()

# The Windows version resources (and the icon they name) compile.
find_program(WINDRES_EXECUTABLE x86_64-w64-mingw32-windres)
if(WINDRES_EXECUTABLE)
  foreach(program launcher updater)
    add_test(NAME tst_${program}_rc
      COMMAND ${WINDRES_EXECUTABLE} ${CMAKE_SOURCE_DIR}/${program}/${program}.rc
              -O coff -o ${CMAKE_CURRENT_BINARY_DIR}/${program}_rc.o)
  endforeach()
endif()
