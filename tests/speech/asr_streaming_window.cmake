velto_add_test(asr_streaming_window_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/TokenDeduplication/SequenceMatcherTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/TokenDeduplication/AsrManagerSeamWordsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/TokenDeduplication/AsrManagerStreamingWindowTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../platform/text/CaseMappingTest.cpp
  LIBS tesselaudio test_support
  LABELS asr_streaming_window)
