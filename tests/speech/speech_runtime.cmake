velto_add_test(speech_runtime_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Shared/AppLoggerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/AudioMelSpectrogramTest.cpp
  LIBS tesselaudio test_support
  LABELS speech_runtime)
