# Child processes: input, output, deadlines, termination of whole process groups.
velto_add_test(process_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/process/ProcessTest.cpp
  LIBS platform_process platform_sys test_support
  LABELS cleanup)
