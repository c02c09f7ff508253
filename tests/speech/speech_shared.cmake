velto_add_test(speech_shared_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/ASRErrorTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/ASRResultTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ITN/TextNormalizerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/ASRConstantsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/ASRPerformanceMetricsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/ProgressEmitterTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/StringUtilsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/SystemInfoTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/TokenLanguageFilterTest.cpp
  LIBS tesselaudio platform_text test_support
  LABELS speech_shared)
