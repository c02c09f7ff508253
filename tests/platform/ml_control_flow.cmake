velto_add_test(ml_control_flow_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ml/CompileAndLoadTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ml/ControlFlowTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ml/ElementTypeTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ml/SequenceTest.cpp
  LIBS platform_ml test_support
  LABELS ml_control_flow)

velto_add_test(text_regex_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/text/RegularExpressionTest.cpp
  LIBS platform_text
  LABELS ml_control_flow)
