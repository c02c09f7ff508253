velto_add_test(file_download_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/../platform/sys/RepeatingTimerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../support/HubFakeTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/Download/FileDownloaderTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/Download/HFTreeListerTest.cpp
  LIBS tesselaudio platform_net platform_sys test_support nlohmann_json::nlohmann_json
  LABELS file_download)
