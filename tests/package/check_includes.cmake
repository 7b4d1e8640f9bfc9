# The public headers, given as HEADERS (full paths, comma-separated):
# - include no header that is not public, since only these are installed;
# - depend one way: a core header includes only the core headers below it
#   (kernel, then rhi, then renderer), and no header outside the Vulkan
#   device includes one of the Vulkan device's.
cmake_minimum_required(VERSION 3.25)
string(REPLACE "," ";" HEADERS "${HEADERS}")
set(names)
foreach(path IN LISTS HEADERS)
  get_filename_component(name ${path} NAME)
  list(APPEND names ${name})
endforeach()
set(core kova_kernel.hpp kova_rhi.hpp kova_renderer.hpp)

foreach(path IN LISTS HEADERS)
  get_filename_component(header ${path} NAME)
  list(FIND core ${header} rank)
  file(STRINGS ${path} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE ".*\"([^\"]+)\".*" "\\1" included "${line}")
    if(NOT included IN_LIST names)
      message(FATAL_ERROR "${header} includes ${included}, which is not a public header: ${line}")
    endif()
    list(FIND core ${included} included_rank)
    if(rank GREATER_EQUAL 0 AND NOT (included_rank GREATER_EQUAL 0 AND included_rank LESS rank))
      message(FATAL_ERROR "${header} includes ${included}; a core header includes only those below it")
    endif()
    if(NOT header MATCHES "^kova_vulkan" AND included MATCHES "^kova_vulkan")
      message(FATAL_ERROR "${header} includes ${included}, a header of the Vulkan device")
    endif()
  endforeach()
endforeach()
list(LENGTH names n)
message(STATUS "${n} public headers include public headers only, one way")
