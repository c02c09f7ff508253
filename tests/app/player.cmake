velto_add_test(player_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Editor/AudioPlaybackTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Editor/PlayerBarTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Editor/SpeakerNamesRowTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Editor/SpeakerPaletteTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Editor/VeltoToolsDesignTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../platform/audio/AudioPlayerTest.cpp
  LIBS veltovoice_ui platform_audio_playback test_support test_support_app Qt6::Test Qt6::Widgets
  LABELS player)
