velto_add_benchmark(bench_turns
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/TurnsBench.cpp
  LIBS veltovoice_core test_support_app fmt::fmt)
