# The file recogniser over the speech facade's scripted backend, and the audio file reader's
# sample-accurate positioning under it.
velto_add_test(file_recogniser_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/FileTranscriberTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../platform/audio/AudioFileSeekTest.cpp
  LIBS devadevev platform_audio platform_speech test_support
  LABELS file_recogniser)
