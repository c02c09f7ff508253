velto_add_test(platform_lm_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/lm/GeneratedContentTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/lm/GenerationSchemaTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/lm/LanguageModelSessionTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/lm/SystemLanguageModelTest.cpp
  LIBS platform_lm test_support nlohmann_json::nlohmann_json
  LABELS platform_lm)
