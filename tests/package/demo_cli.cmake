# kova_demo refuses bad options with a message and exit status 2, never a
# crash, and leaves no files behind. Run with -DDEMO=<kova_demo> -DWORK=<dir>.
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(WRITE ${WORK}/a_file "not a directory")

# One invocation a case, arguments separated by "|".
set(cases
  "--points|0" "--points|-5" "--points|12x" "--points|4000001" "--points|99999999999999999999999"
  "--frames|0" "--frames" "--size|640" "--size|0x360" "--size|640x" "--size|x360" "--size|640x360x2"
  "--size|10x10" "--size|9000x100" "--size|+640x360" "--seed|1.5" "--bogus" "extra" "--help=yes"
  "--out=" "--out|${WORK}/a_file" "--out|${WORK}/a_file/sub" "--device|gpu" "--device")
foreach(case IN LISTS cases)
  string(REPLACE "|" ";" args "${case}")
  if(NOT case MATCHES "^--out")
    list(APPEND args --out=${WORK}/never)
  endif()
  execute_process(COMMAND ${DEMO} --frames 1 ${args} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 2)
    message(FATAL_ERROR "kova_demo ${case}: exit status '${rc}', expected 2\n${out}${err}")
  endif()
  if(NOT err MATCHES "kova_demo: ")
    message(FATAL_ERROR "kova_demo ${case}: no message on stderr")
  endif()
  if(EXISTS ${WORK}/never)
    message(FATAL_ERROR "kova_demo ${case}: created the output directory")
  endif()
endforeach()

execute_process(COMMAND ${DEMO} --help RESULT_VARIABLE rc OUTPUT_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT out MATCHES "--points N" OR NOT out MATCHES "--size WxH")
  message(FATAL_ERROR "kova_demo --help: status ${rc}\n${out}")
endif()

# A good run leaves exactly its frames and, for a flight of several frames,
# their animation: no temporary files. On each device
# layer; the Vulkan driver leaves blocks behind when the loader unloads it,
# beyond the reach of leak suppressions, so that run has leak detection off
# (kova_vulkan_tests checks the Vulkan device layer for leaks).
foreach(device IN ITEMS cpu vulkan)
  set(leaks 1)
  if(device STREQUAL "vulkan")
    set(leaks 0)
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=${leaks}
                    ${DEMO} --device ${device} --points=500 --frames=2 --size=64x48 --out ${WORK}/ok_${device}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  file(GLOB left RELATIVE ${WORK}/ok_${device} ${WORK}/ok_${device}/*)
  if(NOT rc EQUAL 0 OR NOT left STREQUAL "animation.png;frame_0000.png;frame_0001.png")
    message(FATAL_ERROR "kova_demo small run on ${device}: status ${rc}, files '${left}'\n${out}${err}")
  endif()
endforeach()
