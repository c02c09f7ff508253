velto_add_test(ml_opset18_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ml/OperatorSetTest.cpp
  LIBS platform_ml test_support
  LABELS ml_opset18)

# The conformance cases of the operators whose signature changed in sets 18 to 21, rewritten from the
# generated ones (ml_runtime.cmake, included after this file) and run by the same conformance binary.
set(ONNX_OPSET18_CASES ${CMAKE_BINARY_DIR}/onnx-opset18-cases)
add_test(NAME OperatorSetTest.WriteCases
  COMMAND ${VELTO_RUN_ISOLATED} ${VELTO_TEST_ROOT}
          /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/ml/write_onnx_opset18_cases.py ${CMAKE_BINARY_DIR}/onnx-conformance-cases
          ${ONNX_OPSET18_CASES})
set_tests_properties(OperatorSetTest.WriteCases PROPERTIES
  LABELS ml_opset18 FIXTURES_REQUIRED onnx_conformance_cases FIXTURES_SETUP onnx_opset18_cases TIMEOUT 300)
add_test(NAME OperatorSetTest.RewrittenCasesMatchTheirExpectedOutputs
  COMMAND ${VELTO_RUN_ISOLATED} ${VELTO_TEST_ROOT} $<TARGET_FILE:ml_runtime_conformance> ${ONNX_OPSET18_CASES}
          ${ONNX_OPSET18_CASES}/must_run.txt)
set_tests_properties(OperatorSetTest.RewrittenCasesMatchTheirExpectedOutputs PROPERTIES
  LABELS ml_opset18 FIXTURES_REQUIRED onnx_opset18_cases TIMEOUT 600)
