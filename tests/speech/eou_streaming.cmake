velto_add_test(eou_streaming_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/Streaming/EOU/StreamingEouAsrManagerTest.cpp
  LIBS tesselaudio test_support
  LABELS eou_streaming)
