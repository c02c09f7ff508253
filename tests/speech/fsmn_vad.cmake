velto_add_test(fsmn_vad_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/VAD/Fsmn/FsmnVadModelsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/VAD/Fsmn/FsmnVadManagerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/VAD/Fsmn/FsmnVadDecideTest.cpp
  LIBS tesselaudio platform_audio platform_ml test_support
  LABELS fsmn_vad)
