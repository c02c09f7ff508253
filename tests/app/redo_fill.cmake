# The transcript judge against the loopback language model, and the redo and add-missing jobs of
# the conversation model over a temporary root with real recordings, a scripted file recogniser
# and range diarizer (the real ones in the end-to-end and default-recogniser cases).
velto_add_test(redo_fill_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Processing/TranscriptJudgeTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Model/RedoJobTest.cpp
  LIBS veltovoice_core test_support test_support_app QCoro6::Core Qt6::Core Qt6::Test nlohmann_json::nlohmann_json
  LABELS redo_fill)
