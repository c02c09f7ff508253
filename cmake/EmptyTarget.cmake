# velto_fill_empty_library(<target>): gives a module library without sources yet an empty one, so
# that the module can be linked before its first source lands.
function(velto_fill_empty_library target)
  get_target_property(sources ${target} SOURCES)
  if(NOT sources)
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${target}_empty.cpp "namespace {}\n")
    target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}_empty.cpp)
  endif()
endfunction()
