# The application's speaker diarizer, live on its queue and over ranges of AAC recordings, with the
# band-oracle model; and the conversation model's default services that make it.
velto_add_test(speaker_diarizer_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/SpeakerDiarizerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SpeakerDiarizerRangesTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../app/Model/LiveModelServicesDiarizerTest.cpp
  LIBS devadevev veltovoice_core platform_audio test_support
  LABELS speaker_diarizer)
