velto_add_test(lseend_diarizer_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/LS-EEND/LSEENDDiarizerEnrollmentTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/LS-EEND/LSEENDDiarizerTest.cpp
  LIBS tesselaudio test_support
  LABELS lseend_diarizer)
