# Task extraction runs, re-extraction and regrouping on the conversation model, over a temporary
# root with the real store and log and the loopback language model.
velto_add_test(task_runs_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Model/TaskRunsTest.cpp
  LIBS veltovoice_core test_support_app Qt6::Test nlohmann_json::nlohmann_json
  LABELS task_runs)
