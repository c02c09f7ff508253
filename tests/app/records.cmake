velto_add_test(records_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Model/ClockTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Model/VoiceSessionTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Model/VoiceSessionTextTest.cpp
  LIBS veltovoice_core nlohmann_json::nlohmann_json
  LABELS records)
# g++ 12 warns about members left to their default initialisers in designated initialisers,
# which is how these tests spell partial records.
target_compile_options(records_tests PRIVATE -Wno-missing-field-initializers)
