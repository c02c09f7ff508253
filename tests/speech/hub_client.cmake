velto_add_test(hub_client_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/../platform/net/HttpClientTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../platform/net/HttpHeadersTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../platform/net/UrlTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../platform/sys/ErrorTest.cpp
  LIBS platform_net platform_sys test_support
  LABELS hub_client)
