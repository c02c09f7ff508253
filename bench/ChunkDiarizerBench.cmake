velto_add_benchmark(bench_chunk_diarizer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/CampPlusEmbedderBench.cpp ${CMAKE_CURRENT_LIST_DIR}/DiarizationDERBench.cpp ${CMAKE_CURRENT_LIST_DIR}/DiarizerManagerBench.cpp ${CMAKE_CURRENT_LIST_DIR}/HungarianAssignmentBench.cpp ${CMAKE_CURRENT_LIST_DIR}/SpeakerManagerBench.cpp
  LIBS tesselaudio test_support)
