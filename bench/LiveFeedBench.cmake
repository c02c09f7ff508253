velto_add_benchmark(bench_live_feed
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/LiveFeedBench.cpp
  LIBS devadevev test_support)
