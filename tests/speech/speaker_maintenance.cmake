velto_add_test(speaker_maintenance_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Clustering/SpeakerMaintenanceTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/DiarizationDERTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Speaker/CleanSpeakerEmbeddingsTest.cpp
  LIBS tesselaudio test_support
  LABELS speaker_maintenance)
