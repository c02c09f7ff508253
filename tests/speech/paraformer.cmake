velto_add_test(paraformer_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Shared/PieceVocabularyTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Paraformer/ParaformerCifTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Paraformer/ParaformerManagerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Paraformer/ParaformerModelsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Paraformer/ParaformerTimestampsTest.cpp
  LIBS tesselaudio platform_audio platform_ml platform_net platform_sys test_support fmt::fmt
  LABELS paraformer)
