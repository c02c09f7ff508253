velto_add_test(hub_extras_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/../platform/sys/TaskGroupTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/AssetDownloaderTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/Download/ModelHubServicesTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/Download/ModelHubSubdirectoryTest.cpp
  LIBS tesselaudio platform_net platform_sys test_support fmt::fmt nlohmann_json::nlohmann_json
  LABELS hub_extras)
