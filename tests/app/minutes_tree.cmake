# The minutes job and the task-tree operations of the conversation model, over a temporary root
# with the real store and log, the loopback language model and an in-memory clipboard.
velto_add_test(minutes_tree_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Model/MinutesJobTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Model/TaskTreeTest.cpp
  LIBS veltovoice_core test_support_app Qt6::Test nlohmann_json::nlohmann_json
  LABELS minutes_tree)
