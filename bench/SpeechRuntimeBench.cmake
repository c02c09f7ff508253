velto_add_benchmark(speech_runtime_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/SpeechRuntimeBench.cpp
  LIBS tesselaudio)
