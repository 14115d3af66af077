# Checksum, manifest codec, test HTTP server and patchtool suites.
find_package(ZLIB REQUIRED)

launcher_add_test(tst_checksum SOURCES tst_checksum.cpp LIBS common Qt6::Concurrent ZLIB::ZLIB)
launcher_add_test(tst_manifestcodec SOURCES tst_manifestcodec.cpp LIBS common ZLIB::ZLIB)
launcher_add_test(tst_testhttpserver SOURCES tst_testhttpserver.cpp LIBS test_support Qt6::Network)
if(TARGET patchtool)
  launcher_add_test(tst_patchtool SOURCES tst_patchtool.cpp LIBS common test_support)
  target_compile_definitions(tst_patchtool PRIVATE PATCHTOOL_EXE="$<TARGET_FILE:patchtool>")
  add_dependencies(tst_patchtool patchtool)
endif()
