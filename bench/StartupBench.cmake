velto_add_benchmark(bench_startup
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/StartupBench.cpp
  LIBS veltovoice_ui test_support test_support_app fmt::fmt Qt6::Widgets)
