velto_add_test(offline_clustering_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Offline/Clustering/AHCClusteringTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Offline/Clustering/ConstrainedClusterAssignmentTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Offline/Clustering/KMeansClusteringTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Offline/Clustering/SpeakerCountConstraintsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Offline/Clustering/VBxClusteringTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FastClusterWrapper/FastClusterWrapperTest.cpp
  LIBS tesselaudio test_support
  LABELS offline_clustering)
