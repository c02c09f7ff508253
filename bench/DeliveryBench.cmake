velto_add_benchmark(delivery_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/DeliveryBench.cpp ${CMAKE_CURRENT_LIST_DIR}/ModelCacheHashBench.cpp
  LIBS tesselaudio platform_net test_support CURL::libcurl PkgConfig::LIBCRYPTO)
