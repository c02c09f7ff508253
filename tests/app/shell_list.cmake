# Recording panel, waveform, popover controls and conversation list, over a real conversation model
# in the offscreen application.
velto_add_test(shell_list_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Shell/CompactViewTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shell/LiveControlsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shell/RecordingPanelTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shell/SessionListTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shell/SessionSearchTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shell/WaveformViewTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../platform/text/DateFormatTest.cpp
  LIBS veltovoice_ui test_support test_support_app Qt6::Test Qt6::Widgets
  LABELS shell_list)
