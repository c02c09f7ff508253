velto_add_benchmark(bench_ctc_decode
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/CtcDecodeBench.cpp
  LIBS tesselaudio)
