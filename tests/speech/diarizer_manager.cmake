velto_add_test(diarizer_manager_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Core/DiarizerManagerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Core/DiarizerModelsTest.cpp
  LIBS tesselaudio test_support
  LABELS diarizer_manager)
