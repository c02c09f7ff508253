velto_add_benchmark(bench_transcript_view
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/TranscriptViewBench.cpp
  LIBS veltovoice_ui test_support test_support_app Qt6::Widgets)
