velto_add_benchmark(bench_offline_diarizer
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/OfflineSegmentationBench.cpp
    ${CMAKE_CURRENT_LIST_DIR}/OfflinePrepareBench.cpp
  LIBS tesselaudio test_support)
