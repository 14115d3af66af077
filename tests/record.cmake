# The install record: what the launcher put into a game folder.
launcher_add_test(tst_installrecord SOURCES tst_installrecord.cpp LIBS launcher_engine common)
