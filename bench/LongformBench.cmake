velto_add_benchmark(bench_longform
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/LongformBench.cpp
  LIBS tesselaudio)
