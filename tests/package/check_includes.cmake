# The modules depend one way: the kernel header includes neither of the
# others, the rhi header not the renderer's. Run with -DSRC=<src dir>.
cmake_minimum_required(VERSION 3.25)
foreach(rule IN ITEMS "kova_kernel:kova_rhi|kova_renderer" "kova_rhi:kova_renderer")
  string(REPLACE ":" ";" parts "${rule}")
  list(GET parts 0 header)
  list(GET parts 1 banned)
  file(STRINGS ${SRC}/${header}.hpp includes REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS includes)
    if(line MATCHES "(${banned})\\.hpp")
      message(FATAL_ERROR "${header}.hpp includes ${CMAKE_MATCH_1}.hpp: ${line}")
    endif()
  endforeach()
endforeach()
