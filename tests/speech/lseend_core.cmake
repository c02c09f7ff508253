velto_add_test(lseend_core_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/LS-EEND/LSEENDFeatureProviderTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/LS-EEND/LSEENDMetadataTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/LS-EEND/LSEENDModelTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/LS-EEND/LSEENDStateTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/LS-EEND/StreamingChunkQueueTest.cpp
  LIBS tesselaudio test_support
  LABELS lseend_core)
