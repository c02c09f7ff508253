velto_add_test(parakeet_types_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/ASRConfigTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/AsrModelsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/WordTimingTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/SlidingWindow/TDT/EncoderFrameViewTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/SlidingWindow/TDT/ReusableJointInputProviderTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/SlidingWindow/TDT/TdtDecoderStateTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/SlidingWindow/TDT/TdtDecoderV2Test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/SlidingWindow/TDT/TdtDurationMappingTest.cpp
  LIBS tesselaudio test_support
  LABELS parakeet_types)
