velto_add_test(ml_runtime_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ml/CompileModelTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ml/Float16Test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ml/MLModelTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ml/MLMultiArrayTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ml/ModelFuzzTest.cpp
  LIBS platform_ml test_support
  LABELS ml_runtime)

# The ONNX project's operator conformance cases, generated into the build tree first.
set(ONNX_CONFORMANCE_CASES ${CMAKE_BINARY_DIR}/onnx-conformance-cases)
add_test(NAME OperatorConformanceTest.WriteCases
  COMMAND ${VELTO_RUN_ISOLATED} ${VELTO_TEST_ROOT}
          /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/ml/write_onnx_conformance_cases.py ${ONNX_CONFORMANCE_CASES})
set_tests_properties(OperatorConformanceTest.WriteCases PROPERTIES
  LABELS "ml_runtime;ml_control_flow" FIXTURES_SETUP onnx_conformance_cases TIMEOUT 300)

add_executable(ml_runtime_conformance ${CMAKE_CURRENT_LIST_DIR}/ml/OperatorConformanceTest.cpp)
target_link_libraries(ml_runtime_conformance PRIVATE platform_ml onnx_proto protobuf::libprotobuf fmt::fmt GTest::gtest)
target_include_directories(ml_runtime_conformance PRIVATE ${CMAKE_SOURCE_DIR})
add_test(NAME OperatorConformanceTest.SupportedCasesMatchTheirExpectedOutputs
  COMMAND ${VELTO_RUN_ISOLATED} ${VELTO_TEST_ROOT} $<TARGET_FILE:ml_runtime_conformance> ${ONNX_CONFORMANCE_CASES}
          ${CMAKE_CURRENT_LIST_DIR}/ml/conformance_must_run.txt)
set_tests_properties(OperatorConformanceTest.SupportedCasesMatchTheirExpectedOutputs PROPERTIES
  LABELS "ml_runtime;ml_control_flow" FIXTURES_REQUIRED onnx_conformance_cases TIMEOUT 600)
