velto_add_test(lm_helpers_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Processing/TaskExtractorTest.cpp
  LIBS veltovoice_core test_support QCoro6::Core Qt6::Core
  LABELS lm_helpers)
