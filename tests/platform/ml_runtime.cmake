velto_add_test(ml_runtime_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ml/Float16Test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ml/MLModelTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ml/MLMultiArrayTest.cpp
  LIBS platform_ml test_support
  LABELS ml_runtime)
