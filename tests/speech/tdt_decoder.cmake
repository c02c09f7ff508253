velto_add_test(tdt_decoder_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/SlidingWindow/TDT/TdtDecoderV3Test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/SlidingWindow/TDT/TdtModelInferenceTest.cpp
  LIBS tesselaudio test_support
  LABELS tdt_decoder)
velto_add_test(tdt_decoder_allocation_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/SlidingWindow/TDT/TdtDecoderAllocationTest.cpp
  LIBS tesselaudio test_support
  LABELS tdt_decoder)
