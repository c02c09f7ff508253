# The engines of the speech library that callers reach directly, one source per engine.
velto_add_benchmark(engines_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/VadBench.cpp
          ${CMAKE_CURRENT_LIST_DIR}/ParaformerBench.cpp
          ${CMAKE_CURRENT_LIST_DIR}/FsmnVadBench.cpp
          ${CMAKE_CURRENT_LIST_DIR}/SenseVoiceBench.cpp
  LIBS tesselaudio platform_ml test_support)
