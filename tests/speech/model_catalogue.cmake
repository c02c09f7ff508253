velto_add_test(model_catalogue_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ASR/Parakeet/Unified/UnifiedModelFamilyTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/ModelNamesTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/RepoTest.cpp
  LIBS tesselaudio fmt::fmt
  LABELS model_catalogue)
