velto_add_test(nemotron3_diarizer_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Nemotron3/Nemotron3DiarizerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Nemotron3/Nemotron3FrontendTest.cpp
  LIBS tesselaudio test_support
  LABELS nemotron3_diarizer)
