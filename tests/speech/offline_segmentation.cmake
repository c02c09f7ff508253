velto_add_test(offline_segmentation_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Offline/Clustering/PLDATransformTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Offline/Core/OfflineDiarizerConfigTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Offline/Core/OfflineDiarizerModelsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Offline/Segmentation/OfflineSegmentationProcessorTest.cpp
  LIBS tesselaudio test_support nlohmann_json::nlohmann_json
  LABELS offline_segmentation)
