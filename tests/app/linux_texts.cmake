# The texts the application shows on Linux, read where the window shows them (offscreen, over the
# shell's real model), and a scan of the sources for texts that speak of the Mac; the desktop's
# reveal runs against a file manager on a private session bus of its own.
velto_add_test(linux_texts_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Shell/LinuxTextsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shell/ShownTextsTest.cpp
  LIBS veltovoice_ui platform_audio_playback test_support test_support_app Qt6::Test Qt6::Widgets
  LABELS linux_texts)
target_compile_definitions(linux_texts_tests PRIVATE VELTO_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

# The reveal in the file manager, on a private session bus where a test starts the file manager.
velto_add_test(desktop_reveal_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/Shell/DesktopRevealTest.cpp
  LIBS veltovoice_ui test_support_desktop Qt6::Widgets
  LABELS linux_texts
  WRAPPER dbus-run-session --config-file=${CMAKE_CURRENT_LIST_DIR}/Updates/session-bus.conf --)

# The real program on a private X server, driven by keys typed through XTEST.
velto_add_test(play_pause_key_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/Shell/PlayPauseKeyTest.cpp
  LIBS veltovoice_core test_support test_support_app test_support_x11 Qt6::Core
  LABELS linux_texts)
target_compile_definitions(play_pause_key_tests PRIVATE VELTOVOICE_PROGRAM="$<TARGET_FILE:veltovoice>")
add_dependencies(play_pause_key_tests veltovoice)
