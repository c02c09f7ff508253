velto_add_test(ml_buffers_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Shared/ANEMemoryOptimizerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/ANEMemoryUtilsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/CoreAIStorageTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/MLArrayCacheTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/MLModelConfigurationUtilsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/MLModelExtensionsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/MLMultiArrayExtensionsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/ZeroCopyFeatureProviderTest.cpp
  LIBS tesselaudio test_support
  LABELS ml_buffers)
