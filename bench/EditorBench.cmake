velto_add_benchmark(bench_editor
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/EditorBench.cpp
  LIBS veltovoice_ui test_support Qt6::Widgets)
