velto_add_benchmark(bench_writer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/WriterBench.cpp
  LIBS devadevev veltovoice_core test_support)
