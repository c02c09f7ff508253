# Starting a recording on the conversation model, with the real recogniser, writer and store.
velto_add_test(recording_start_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Model/RecordingStartTest.cpp
  LIBS veltovoice_core test_support_app Qt6::Test
  LABELS recording_start)
