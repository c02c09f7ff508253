velto_add_test(ctc_spotter_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcDPAlgorithmTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcKeywordSpotterSpottingTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcKeywordSpotterTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcModelsTest.cpp
  LIBS tesselaudio platform_ml platform_net platform_sys platform_text test_support fmt::fmt nlohmann_json::nlohmann_json
  LABELS ctc_spotter)
