velto_add_test(store_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Model/SessionStoreMigrateTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Model/SessionStoreTest.cpp
  LIBS veltovoice_core test_support nlohmann_json::nlohmann_json fmt::fmt
  LABELS store)
# g++ 12 warns about members left to their default initialisers in designated initialisers,
# which is how these tests spell partial records.
target_compile_options(store_tests PRIVATE -Wno-missing-field-initializers)
