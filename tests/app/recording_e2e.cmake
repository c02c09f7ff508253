# Live results, pausing, stopping and the next recording on the conversation model, with the real
# recogniser on file input, the real writer and store, and a diarizer on its own serial queue.
velto_add_test(recording_e2e_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Model/LiveResultsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Model/RecordingStopTest.cpp
  LIBS veltovoice_core test_support_app Qt6::Test
  LABELS recording_e2e)
