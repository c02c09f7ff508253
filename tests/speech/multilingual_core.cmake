velto_add_test(multilingual_core_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/Streaming/Nemotron/NemotronMultilingualStreamingConfigTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/Streaming/Nemotron/NemotronMultilingualTokenizerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/Streaming/Nemotron/StreamingNemotronMultilingualAsrManagerTest.cpp
  LIBS tesselaudio test_support
  LABELS multilingual_core)
