velto_add_benchmark(model_runtime_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ModelRuntimeBench.cpp
  LIBS platform_ml test_support PkgConfig::OPENBLAS)
