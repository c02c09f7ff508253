velto_add_test(models_root_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Shared/ModelsRootWithoutHomeTest.cpp
  LIBS tesselaudio
  LABELS ml_control_flow)
