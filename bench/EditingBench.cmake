velto_add_benchmark(bench_editing
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/EditingBench.cpp
  LIBS veltovoice_core test_support_app fmt::fmt)
