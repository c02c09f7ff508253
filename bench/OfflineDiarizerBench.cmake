velto_add_benchmark(bench_offline_diarizer
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/OfflineClusteringBench.cpp
    ${CMAKE_CURRENT_LIST_DIR}/OfflinePrepareBench.cpp
    ${CMAKE_CURRENT_LIST_DIR}/OfflineReconstructionBench.cpp
    ${CMAKE_CURRENT_LIST_DIR}/OfflineSegmentationBench.cpp
  LIBS tesselaudio test_support)
