velto_add_test(vad_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/VAD/VadTypesTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/VAD/VadManagerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/VAD/VadManagerLoadingTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/VAD/VadSpeechSegmentationTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/VAD/VadStreamingTest.cpp
  LIBS tesselaudio platform_audio platform_ml platform_net platform_sys test_support fmt::fmt
  LABELS vad)
