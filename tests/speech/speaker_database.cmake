velto_add_test(speaker_database_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Clustering/SpeakerManagerLoadingTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Diarizer/Clustering/SpeakerManagerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Speaker/SendableSpeakerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Speaker/SpeakerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Speaker/SpeakerUtilitiesTest.cpp
  LIBS tesselaudio test_support nlohmann_json::nlohmann_json
  LABELS speaker_database)
