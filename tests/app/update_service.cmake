# The update service, its windows and its desktop notifications, against the real updater and its
# loopback feed. Each case runs on a private session bus of its own, on which a test starts the
# notification service when it wants one.
velto_add_test(update_service_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Updates/UpdateFeedTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Updates/UpdatesTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Updates/UpdateWindowsTest.cpp
  LIBS veltovoice_ui platform_update test_support test_support_app Qt6::Widgets Qt6::Test Qt6::DBus
  LABELS update_service
  WRAPPER dbus-run-session --config-file=${CMAKE_CURRENT_LIST_DIR}/Updates/session-bus.conf --)
target_compile_options(update_service_tests PRIVATE -Wno-missing-field-initializers)
