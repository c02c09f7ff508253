velto_add_test(model_hub_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Shared/Download/ModelHubTest.cpp
  LIBS tesselaudio platform_ml platform_net platform_sys test_support fmt::fmt nlohmann_json::nlohmann_json
  LABELS model_hub)
