velto_add_test(voicememos_library_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/DatabaseTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/StoreTest.cpp
  LIBS voicememos test_support PkgConfig::SQLITE3 fmt::fmt
  LABELS voicememos_library)
