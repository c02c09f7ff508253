velto_add_test(parakeet_models_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/AsrModelsDownloadTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/AsrModelsLoadingTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/ParakeetLanguageModelsTest.cpp
  LIBS tesselaudio test_support
  LABELS parakeet_models)
