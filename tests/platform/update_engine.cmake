velto_add_test(update_engine_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/update/AppcastTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/update/ArchiveTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/update/InstallationTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/update/UpdaterTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/update/UpdateVersionTest.cpp
  LIBS platform_update test_support Qt6::Core
  LABELS update_engine)
