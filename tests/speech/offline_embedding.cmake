velto_add_test(offline_embedding_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Offline/Core/OfflineDiarizerManagerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Offline/Extraction/OfflineEmbeddingExtractorTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Offline/Extraction/OfflineEmbeddingStreamTest.cpp
  LIBS tesselaudio test_support
  LABELS offline_embedding)
