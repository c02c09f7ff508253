velto_add_test(hub_client_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/../platform/net/HttpClientTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../platform/net/HttpHeadersTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../platform/net/UrlTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../platform/sys/ErrorTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/Download/DownloadErrorTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/Download/HFClientTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/Download/ModelRegistryTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/Download/ProgressReporterTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shared/Download/RetryPolicyTest.cpp
  LIBS tesselaudio platform_net platform_sys test_support
  LABELS hub_client)
