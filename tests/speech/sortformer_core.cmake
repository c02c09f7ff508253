velto_add_test(sortformer_core_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Sortformer/SortformerConfigTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Sortformer/SortformerErrorTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Sortformer/SortformerFeatureLoaderTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Sortformer/SortformerModelsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Sortformer/SortformerModelsHubTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Sortformer/SortformerStateUpdaterTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Sortformer/SortformerStreamingStateTest.cpp
  LIBS tesselaudio test_support
  LABELS sortformer_core)
