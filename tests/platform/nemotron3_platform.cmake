velto_add_test(nemotron3_platform_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/dsp/VectorOpsTest.cpp
  LIBS platform_dsp
  LABELS nemotron3_core)
