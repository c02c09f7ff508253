velto_add_benchmark(bench_streaming
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/RnntDecoderBench.cpp ${CMAKE_CURRENT_LIST_DIR}/LogitsArgmaxBench.cpp
    ${CMAKE_CURRENT_LIST_DIR}/EouStreamBench.cpp ${CMAKE_CURRENT_LIST_DIR}/NemotronChunkBench.cpp
  LIBS tesselaudio test_support)
