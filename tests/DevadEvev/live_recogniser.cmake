# The live recogniser with its capture engine and the speech facade, on the scripted backend.
velto_add_test(live_recogniser_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/LiveTranscriberTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../platform/audio/AudioEngineTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../platform/speech/SpeechAnalyzerTest.cpp
  LIBS devadevev platform_audio_capture platform_speech test_support
  LABELS live_recogniser)
