velto_add_test(streaming_core_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/Streaming/EncoderCacheManagerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/Streaming/StreamingAsrUtilsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/Streaming/TokenizerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/Streaming/EOU/RnntDecoderTest.cpp
  LIBS tesselaudio test_support
  LABELS streaming_core)
