velto_add_benchmark(bench_app_core
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/AppCoreBench.cpp
  LIBS veltovoice_core platform_text fmt::fmt)
