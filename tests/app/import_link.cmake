# Importing audio, the demo conversation and linking Voice Memos recordings on the conversation
# model, with the copy, the duration probe and the desktop file chooser they use.
velto_add_test(import_link_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Model/ImportTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Model/LinkTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Shell/QtFileChooserTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../platform/audio/AudioFileDurationTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../platform/sys/FileIOCopyTest.cpp
  LIBS veltovoice_ui platform_audio test_support test_support_app Qt6::Test Qt6::Widgets
  LABELS import_link)
