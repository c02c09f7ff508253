velto_add_test(voicememos_reader_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/AudioFileTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MovieHeaderTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/RecordedFileTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/RecordingTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TranscriptTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/VoiceMemosErrorTest.cpp
    ${CMAKE_SOURCE_DIR}/tests/app/VoiceMemos/VoiceMemosControllerTest.cpp
  LIBS voicememos veltovoice_core platform_audio test_support
  LABELS voicememos_reader)
# The recording finder reads local time: run its zone test again under UTC.
gtest_discover_tests(voicememos_reader_tests
  TEST_PREFIX "utc."
  TEST_FILTER "VoiceMemosControllerTest.ReadsStampInCurrentZone"
  DISCOVERY_MODE PRE_TEST
  DISCOVERY_TIMEOUT 120
  PROPERTIES LABELS voicememos_reader ENVIRONMENT VELTO_TEST_TZ=UTC)
