velto_add_test(diarizer_timeline_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/DiarizerActivityTypeTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/DiarizerChunkResultTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/DiarizerSegmentTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/DiarizerSpeakerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/DiarizerTimelineConfigTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/DiarizerTimelineErrorTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/DiarizerTimelineTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/DiarizerTimelineSnapshotTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/DiarizerTimelineSpeakersTest.cpp
  LIBS tesselaudio fmt::fmt
  LABELS diarizer_timeline)
