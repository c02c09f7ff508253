velto_add_benchmark(bench_diarizer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/DiarizerTimelineBench.cpp
  LIBS tesselaudio)
