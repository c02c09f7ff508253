# The application entry: the delegate with its window, menus, status item and popover, the one
# way out with a running recording, the single-instance socket, and the real program started twice.
velto_add_test(app_entry_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Shell/AppDelegateTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shell/QuitTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shell/RecordingCommandsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shell/SingleInstanceTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shell/StatusItemTest.cpp
  LIBS veltovoice_ui test_support test_support_app Qt6::Test Qt6::Widgets Qt6::Network
  LABELS app_entry)
target_compile_definitions(app_entry_tests PRIVATE VELTOVOICE_PROGRAM="$<TARGET_FILE:veltovoice>")
add_dependencies(app_entry_tests veltovoice)
