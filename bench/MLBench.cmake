velto_add_benchmark(ml_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/MLBench.cpp
  LIBS tesselaudio)
