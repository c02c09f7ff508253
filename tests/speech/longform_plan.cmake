velto_add_test(longform_plan_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/SlidingWindow/TDT/ChunkProcessorPlanTest.cpp
  LIBS tesselaudio test_support
  LABELS longform_plan)
