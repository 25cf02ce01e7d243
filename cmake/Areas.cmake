# tests/ and bench/ keep one folder per area, each with its own CMake lines;
# this adds every such folder of the calling directory.
function(orvane_add_area_folders)
  file(GLOB _areas LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(_area ${_areas})
    if(IS_DIRECTORY ${_area} AND EXISTS ${_area}/CMakeLists.txt)
      add_subdirectory(${_area})
    endif()
  endforeach()
endfunction()
