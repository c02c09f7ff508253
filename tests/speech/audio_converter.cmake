velto_add_test(audio_converter_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Shared/AudioConverterTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/AudioWAVTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../platform/audio/AudioFileTest.cpp
  LIBS tesselaudio platform_audio platform_text test_support
  LABELS audio_converter)
