# The transcript view with its rows model and delegate, over a real conversation model and player
# in the offscreen application.
velto_add_test(transcript_view_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Editor/TranscriptRowsModelTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Editor/TranscriptViewTest.cpp
  LIBS veltovoice_ui test_support test_support_app Qt6::Test Qt6::Widgets
  LABELS transcript_view)
