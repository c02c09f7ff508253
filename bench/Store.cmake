velto_add_benchmark(bench_store
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/StoreBench.cpp
  LIBS veltovoice_core platform_sys)
