velto_add_test(audio_sources_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Shared/AudioSampleSourceTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/AudioSourceFactoryTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/AudioStreamTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/PcmWavLayoutTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../platform/sys/MappedFileTest.cpp
  LIBS tesselaudio platform_audio platform_sys test_support
  LABELS audio_sources)
