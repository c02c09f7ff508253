# The main window's content: list, conversation detail with its header and menu, notice banner and
# status line, and the player kept on the selected recording; over a real conversation model in the
# offscreen application, with the player on the null sink.
velto_add_test(main_window_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Shell/MainViewTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shell/SessionHeaderTest.cpp
  LIBS veltovoice_ui platform_audio_playback test_support test_support_app Qt6::Test Qt6::Widgets
  LABELS main_window)
