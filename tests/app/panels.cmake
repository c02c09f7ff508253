# The minutes panel, the tasks panel and its task rows, over a real conversation model with the
# loopback language model and the real player on the null sink, in an offscreen application.
velto_add_test(panels_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Processing/MinutesPanelTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Processing/TaskRowTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Processing/TasksPanelTest.cpp
  LIBS veltovoice_ui test_support test_support_app Qt6::Test Qt6::Widgets nlohmann_json::nlohmann_json
  LABELS panels)
