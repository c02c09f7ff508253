velto_add_test(sensevoice_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ASR/SenseVoice/SenseVoiceManagerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/SenseVoice/SenseVoiceModelsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/SenseVoice/SenseVoiceTagScoresTest.cpp
  LIBS tesselaudio platform_audio platform_ml platform_net platform_sys test_support fmt::fmt
  LABELS sensevoice)
