# Editing sentences, topics and memo on the conversation model, and the conversation commands.
velto_add_test(editing_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Model/EditingTest.cpp
  LIBS veltovoice_core test_support_app Qt6::Test nlohmann_json::nlohmann_json
  LABELS editing)
