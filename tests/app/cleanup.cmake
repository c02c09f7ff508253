# The outside-assistant runner and the transcript clean-up, with small shell scripts as the
# assistants under a temporary HOME.
velto_add_test(cleanup_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Model/CleanupJobTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Processing/CLIAssistantTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Processing/CLICleanerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Processing/TranscriptCleanerTest.cpp
  LIBS veltovoice_core test_support test_support_app Qt6::Core
  LABELS cleanup)
# The consent alert in Qt widgets (offscreen).
velto_add_test(cleanup_ui_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Shell/QtConsentPromptTest.cpp
  LIBS veltovoice_ui Qt6::Widgets
  LABELS cleanup)
