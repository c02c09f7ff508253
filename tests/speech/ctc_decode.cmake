velto_add_test(ctc_decode_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/SlidingWindow/CTC/ARPALanguageModelTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/SlidingWindow/CTC/ARPAWordTableTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/SlidingWindow/CTC/CtcBeamSearchTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/SlidingWindow/CTC/CtcGreedyDecodingTest.cpp
  LIBS tesselaudio test_support
  LABELS ctc_decode)
