velto_add_benchmark(bench_panels
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/PanelsBench.cpp
  LIBS veltovoice_ui test_support test_support_app Qt6::Widgets)
