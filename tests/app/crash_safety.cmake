# What a crash leaves behind: the recording writer's crash-safe form and its rewrite, the temporary
# files of atomic writes and their sweep, and the conversation model's start-up repair, with
# children that are killed while recording or importing.
add_executable(crash_safety_child ${CMAKE_CURRENT_LIST_DIR}/Model/CrashSafetyChild.cpp)
target_link_libraries(crash_safety_child PRIVATE devadevev veltovoice_core test_support Qt6::Core)
target_include_directories(crash_safety_child PRIVATE ${CMAKE_SOURCE_DIR})

velto_add_test(crash_safety_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Model/CrashRecoveryTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../platform/audio/FragmentedAacTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../platform/sys/FileIOTemporariesTest.cpp
  LIBS veltovoice_core devadevev voicememos platform_audio platform_audio_playback test_support test_support_app
       PkgConfig::FFMPEG fmt::fmt Qt6::Core
  LABELS crash_safety)
target_compile_definitions(crash_safety_tests PRIVATE CRASH_SAFETY_CHILD="$<TARGET_FILE:crash_safety_child>")
add_dependencies(crash_safety_tests crash_safety_child)
