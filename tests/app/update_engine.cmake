# The updater's standard dialogs need a QApplication, which the engine's own binary (a
# QCoreApplication) cannot hold; same label.
velto_add_test(update_driver_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Updates/StandardUserDriverTest.cpp
  LIBS veltovoice_ui platform_update test_support Qt6::Widgets Qt6::Test
  LABELS update_engine)
target_compile_options(update_driver_tests PRIVATE -Wno-missing-field-initializers)
