velto_add_test(sortformer_diarizer_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Sortformer/SortformerDiarizerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Sortformer/SortformerDiarizerBatchTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Sortformer/SortformerDiarizerEnrollmentTest.cpp
  LIBS tesselaudio test_support fmt::fmt
  LABELS sortformer_diarizer)
