velto_add_benchmark(audio_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/AudioBench.cpp ${CMAKE_CURRENT_LIST_DIR}/AudioSourcesBench.cpp
  LIBS tesselaudio platform_audio test_support)
