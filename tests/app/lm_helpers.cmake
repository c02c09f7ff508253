velto_add_test(lm_helpers_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Processing/MinutesMakerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Processing/TaskExtractorTest.cpp
  LIBS veltovoice_core test_support QCoro6::Core Qt6::Core nlohmann_json::nlohmann_json
  LABELS lm_helpers)
