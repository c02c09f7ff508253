velto_add_benchmark(bench_asr
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/AsrBench.cpp
  LIBS tesselaudio test_support PkgConfig::OPENBLAS)
