velto_add_benchmark(bench_player_load
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/PlayerBench.cpp
  LIBS veltovoice_ui platform_audio test_support PkgConfig::FFMPEG Qt6::Core)
