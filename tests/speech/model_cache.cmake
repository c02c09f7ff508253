velto_add_test(model_cache_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/../platform/crypto/HashFunctionTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/Download/ModelCacheTest.cpp
  LIBS tesselaudio platform_crypto test_support PkgConfig::LIBCRYPTO
  LABELS model_cache)
