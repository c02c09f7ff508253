velto_add_benchmark(bench_voicememos
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/VoiceMemosBench.cpp
  LIBS voicememos veltovoice_core test_support PkgConfig::SQLITE3)
