velto_add_test(review_speed_fixes_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Shared/Download/UnsupportedModelFormatErrorTest.cpp
    ${CMAKE_SOURCE_DIR}/tests/platform/ml/CompiledFolderLifetimeTest.cpp
  LIBS tesselaudio platform_ml platform_net platform_sys test_support fmt::fmt
  LABELS review_speed_fixes)
