velto_add_test(commit_layer_argmax_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/SlidingWindow/PunctuationCommitLayerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Shared/LogitsArgmaxTest.cpp
  LIBS tesselaudio test_support
  LABELS commit_layer_argmax)
