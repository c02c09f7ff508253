velto_add_benchmark(bench_vocab
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/VocabBench.cpp
  LIBS tesselaudio test_support)
