velto_add_test(campplus_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Extraction/CampPlusEmbedderTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Extraction/CampPlusModelsTest.cpp
  LIBS tesselaudio test_support
  LABELS campplus)
