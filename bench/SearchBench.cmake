velto_add_benchmark(bench_search
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/SearchBench.cpp
  LIBS veltovoice_ui test_support test_support_app fmt::fmt Qt6::Widgets)
