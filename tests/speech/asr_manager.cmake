velto_add_test(asr_manager_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/AsrManagerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/AsrManagerPipelineTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../platform/ml/MLModelPredictionCountTest.cpp
  LIBS tesselaudio test_support
  LABELS asr_manager)
