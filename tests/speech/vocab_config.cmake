velto_add_test(vocab_config_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/../platform/text/CharacterClassesTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/SlidingWindow/CustomVocabulary/ContextBiasingConstantsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/SlidingWindow/CustomVocabulary/CustomVocabularyContextTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/SlidingWindow/CustomVocabulary/CustomVocabularyTermTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/SlidingWindow/CustomVocabulary/VocabularyRescorerConfigTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/BpeTokenizerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcTokenizerTest.cpp
  LIBS tesselaudio platform_text test_support nlohmann_json::nlohmann_json
  LABELS vocab_config)
