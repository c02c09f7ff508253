velto_add_test(parakeet_models_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/AsrModelsDownloadTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/AsrModelsLoadingTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/ParakeetLanguageModelsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/ParakeetVocabularyTest.cpp
  LIBS tesselaudio test_support nlohmann_json::nlohmann_json
  LABELS parakeet_models)
