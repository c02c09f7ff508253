# velto_add_test(<target> SOURCES <files...> LIBS <libs...> LABELS <labels...> [WRAPPER <command...>])
#
# One GoogleTest binary, its cases registered one by one with CTest. Every case runs through
# run-isolated.sh, which points HOME, the XDG folders and TMPDIR into the build tree, points the
# model hub at a refused loopback port and clears proxies, tokens and language-model settings, so
# that no test can reach the user's folders or the internet. WRAPPER, when given, runs inside that
# isolation and before the binary (for example dbus-run-session for a private session bus).
include(GoogleTest)

set(VELTO_TEST_ROOT ${CMAKE_BINARY_DIR}/test-root)
set(VELTO_RUN_ISOLATED ${CMAKE_SOURCE_DIR}/cmake/run-isolated.sh)

function(velto_add_test target)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;WRAPPER" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${target} ${T_SOURCES})
  target_link_libraries(${target} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest GTest::gtest_main)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  set(emulator ${VELTO_RUN_ISOLATED} ${VELTO_TEST_ROOT} ${T_WRAPPER})
  set_target_properties(${target} PROPERTIES CROSSCOMPILING_EMULATOR "${emulator}")
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
endfunction()
