velto_add_test(nemotron_en_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/Streaming/Nemotron/NemotronStreamingConfigTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/Streaming/Nemotron/StreamingNemotronAsrManagerTest.cpp
  LIBS tesselaudio test_support
  LABELS nemotron_en)
