velto_add_benchmark(bench_voice_store
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/VoiceStoreBench.cpp
  LIBS voicecore test_support PkgConfig::SQLITE3)
