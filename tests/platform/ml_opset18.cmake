velto_add_test(ml_opset18_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ml/OperatorSetTest.cpp
  LIBS platform_ml test_support
  LABELS ml_opset18)
