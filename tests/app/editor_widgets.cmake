# The sentence editor, the sentence row with its host, the topic header and the memo box, over a real
# conversation model in an offscreen application.
velto_add_test(editor_widgets_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Editor/MemoBoxTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Editor/SegmentRowTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Editor/SegmentTextEditTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Editor/TopicHeaderTest.cpp
  LIBS veltovoice_ui test_support test_support_app Qt6::Test Qt6::Widgets
  LABELS editor_widgets)
