velto_add_test(nemotron3_core_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Nemotron3/Nemotron3ConfigTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Nemotron3/Nemotron3ModelsLoadTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Nemotron3/Nemotron3ModelsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Nemotron3/Nemotron3StateUpdaterTest.cpp
  LIBS tesselaudio test_support
  LABELS nemotron3_core)
