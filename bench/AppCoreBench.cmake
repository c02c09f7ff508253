velto_add_benchmark(bench_app_core
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/AppCoreBench.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TaskTreeBench.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TranscriptCleanerBench.cpp
  LIBS veltovoice_core test_support_app platform_text fmt::fmt)
