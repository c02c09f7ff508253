# Fixes found by trying the application as a new user: the configured language model, task times
# that cannot be stored, list rows, file names that two conversations share, and the hang-up.
velto_add_test(app_review_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Model/LanguageModelSettingsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Model/SharedFileNamesTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Processing/TaskTimeTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shell/HangUpTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shell/MainViewRecordingNameTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shell/SessionRowDelegateTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../platform/lm/SystemLanguageModelProbeTest.cpp
  LIBS veltovoice_ui test_support test_support_app Qt6::Test Qt6::Widgets Qt6::Network nlohmann_json::nlohmann_json
  LABELS app_review)
target_compile_definitions(app_review_tests PRIVATE VELTOVOICE_PROGRAM="$<TARGET_FILE:veltovoice>")
add_dependencies(app_review_tests veltovoice)
