velto_add_test(player_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Editor/SpeakerNamesRowTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Editor/SpeakerPaletteTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Editor/VeltoToolsDesignTest.cpp
  LIBS veltovoice_ui test_support test_support_app Qt6::Test Qt6::Widgets
  LABELS player)
