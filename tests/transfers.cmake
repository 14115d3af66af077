# The download transfers on their own, against the loopback test server, nginx and Apache.
launcher_add_test(tst_engine_transfers SOURCES tst_engine_transfers.cpp
  LIBS launcher_transfers test_support)
