velto_add_test(offline_reconstruction_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Offline/Extraction/OfflineSpanEmbeddingTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Offline/Reconstruction/OfflineReconstructionTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Offline/Reconstruction/ZeroVoteReembedderTest.cpp
  LIBS tesselaudio test_support
  LABELS offline_reconstruction)
