velto_add_test(diarizer_core_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Core/ChunkEmbeddingTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Core/DiarizerConfigTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Core/DiarizerErrorTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Core/PipelineTimingsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Core/TimedSpeakerSegmentTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Extraction/EmbeddingExtractorTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/HungarianAssignmentTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Offline/Utils/VDSPOperationsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Segmentation/AudioValidationTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Segmentation/SegmentationProcessorTest.cpp
  LIBS tesselaudio test_support nlohmann_json::nlohmann_json
  LABELS diarizer_core)
