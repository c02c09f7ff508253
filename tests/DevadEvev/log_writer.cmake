# The application log and the recording writer, with the queue and audio layer under them.
velto_add_test(log_writer_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/RecordingWriterTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../app/Model/AppLogTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../platform/audio/AacFileWriterTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../platform/audio/ConverterTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../platform/sys/SerialQueueTest.cpp
  LIBS devadevev veltovoice_core platform_audio test_support test_support_app PkgConfig::FFMPEG fmt::fmt
  LABELS log_writer)
