velto_add_benchmark(bench_diarizer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/DiarizerTimelineBench.cpp ${CMAKE_CURRENT_LIST_DIR}/Nemotron3Bench.cpp ${CMAKE_CURRENT_LIST_DIR}/SortformerBench.cpp
    ${CMAKE_CURRENT_LIST_DIR}/LSEENDBench.cpp ${CMAKE_CURRENT_LIST_DIR}/SortformerDiarizerBench.cpp
    ${CMAKE_CURRENT_LIST_DIR}/LSEENDDiarizerBench.cpp
  LIBS tesselaudio test_support)
