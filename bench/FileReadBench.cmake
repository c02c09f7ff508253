velto_add_benchmark(bench_file_read
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/FileReadBench.cpp
  LIBS devadevev platform_audio platform_speech test_support)
