velto_add_test(voice_store_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/VoiceRecordingTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/VoiceStoreTest.cpp
  LIBS voicecore test_support PkgConfig::SQLITE3
  LABELS voice_store)
