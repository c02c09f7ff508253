velto_add_test(platform_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/dsp/DoubleVectorOpsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/dsp/RealFFTTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sys/ChannelTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sys/SignposterTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sys/SystemLogTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sys/UuidTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/text/DoubleTextTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/text/GraphemesTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/text/NormalizationTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/text/ScalarsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/text/WhitespaceTest.cpp
  LIBS platform_dsp platform_sys platform_text test_support
  LABELS platform)
