velto_add_benchmark(bench_speaker_diarizer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/SpeakerDiarizerBench.cpp
  LIBS devadevev platform_audio test_support)
