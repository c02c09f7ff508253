# velto_add_subdirectories(): adds every direct child folder that has a CMakeLists.txt, then
# includes every *.cmake file of the current folder, both in name order, so that a new folder or a
# new test binary joins its module without touching a shared list.
function(velto_add_subdirectories)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}
       ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child}
       AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
  file(GLOB fragments ${CMAKE_CURRENT_SOURCE_DIR}/*.cmake)
  list(SORT fragments)
  foreach(fragment ${fragments})
    include(${fragment})
  endforeach()
endfunction()
