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
  "--out=" "--out|${WORK}/a_file" "--out|${WORK}/a_file/sub" "--device|gpu" "--device"
  # Options the lattice (the default scene) does not use, and a requirement
  # the CPU device cannot miss.
  "--points|500" "--seed|3" "--dump" "--scene|lattice|--points=9" "--device|cpu|--require-device"
  "--require-device=yes"
  # Samples are 1 or 4; --no-float64 concerns Vulkan only.
  "--samples|2" "--samples|0" "--samples|four" "--samples" "--no-float64=yes" "--device|cpu|--no-float64"
  # The walk stands 0 to pi R (18341.87 km) from the origin; only the walk has --at-km.
  "--scene|walk|--at-km|-1" "--scene|walk|--at-km|18342" "--scene|walk|--at-km|1e3"
  "--scene|walk|--at-km|nan" "--scene|walk|--at-km|inf" "--scene|walk|--at-km|1.2.3"
  "--scene|walk|--at-km|." "--scene|walk|--at-km" "--scene|walk|--at-km=" "--at-km|5"
  "--scene|points|--at-km|5" "--scene|walk|--seed|2" "--scene|walk|--points|9" "--scene|hike"
  # Lights: 0 to 4096 of them through forward+, 0 to 1024 deferred; only the lattice is lit.
  "--lights|-1" "--lights|4097" "--lights|1.5" "--lights|many" "--lights" "--lights="
  "--pipeline|deferred|--lights|1025" "--lights=2000|--pipeline=deferred"
  "--pipeline|forward" "--pipeline|" "--pipeline"
  "--scene|points|--lights|4" "--scene|walk|--pipeline|forward-plus")
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
if(NOT rc EQUAL 0 OR NOT out MATCHES "--points N" OR NOT out MATCHES "--size WxH"
   OR NOT out MATCHES "--require-device" OR NOT out MATCHES "are\nremoved")
  message(FATAL_ERROR "kova_demo --help: status ${rc}\n${out}")
endif()

# Too many lights for deferred shading: the message names its limit.
execute_process(COMMAND ${DEMO} --pipeline deferred --lights 2000 --out ${WORK}/never
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 2 OR NOT err MATCHES "--lights: 2000 lights are more than the 1024 a deferred frame sheds")
  message(FATAL_ERROR "kova_demo --pipeline deferred --lights 2000: status ${rc}\n${out}${err}")
endif()

# Lights reach the frame: forward+ runs its 4 passes (the depth pre-pass,
# the tile light culling, the shading and the clear) and the report says so;
# --lights 0 draws the unlit lattice in its 3 passes.
execute_process(COMMAND ${DEMO} --device cpu --samples 1 --frames 1 --size 32x24 --lights 5
                  --pipeline=forward-plus --out ${WORK}/lit
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "forward\\+ with 5 lights" OR NOT out MATCHES "passes 4,")
  message(FATAL_ERROR "kova_demo --lights 5: status ${rc}\n${out}${err}")
endif()
# Deferred: the uploads, the G-buffer, the culling, the lighting and the edges.
execute_process(COMMAND ${DEMO} --device cpu --samples 1 --frames 1 --size 32x24 --lights 5
                  --pipeline deferred --out ${WORK}/deferred
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "deferred with 5 lights" OR NOT out MATCHES "passes 5,")
  message(FATAL_ERROR "kova_demo --pipeline deferred --lights 5: status ${rc}\n${out}${err}")
endif()
execute_process(COMMAND ${DEMO} --device cpu --samples 1 --frames 1 --size 32x24 --lights 0
                  --out ${WORK}/unlit RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "unlit" OR NOT out MATCHES "passes 3,")
  message(FATAL_ERROR "kova_demo --lights 0: status ${rc}\n${out}${err}")
endif()

# --samples reaches the device: the lattice's report names the samples per pixel.
execute_process(COMMAND ${DEMO} --device cpu --samples 1 --frames 1 --size 32x24
                  --out ${WORK}/one_sample RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "at 32x24, 1 samples per pixel")
  message(FATAL_ERROR "kova_demo --samples 1: status ${rc}\n${out}${err}")
endif()
execute_process(COMMAND ${DEMO} --help RESULT_VARIABLE rc OUTPUT_VARIABLE out)
if(NOT out MATCHES "--samples N" OR NOT out MATCHES "--no-float64")
  message(FATAL_ERROR "kova_demo --help lacks --samples or --no-float64\n${out}")
endif()

# Vulkan required where there is none: the reason, a failing status, and no
# output folder.
execute_process(COMMAND ${CMAKE_COMMAND} -E env VK_DRIVER_FILES=/nonexistent/icd.json
                  VK_ICD_FILENAMES=/nonexistent/icd.json ASAN_OPTIONS=detect_leaks=0
                  ${DEMO} --device vulkan --require-device --frames 1 --size 64x36
                  --out ${WORK}/required
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc EQUAL 0 OR NOT err MATCHES "kova_demo: no usable Vulkan device \\([^)]+\\)"
   OR out MATCHES "rendering on the CPU" OR EXISTS ${WORK}/required)
  message(FATAL_ERROR "kova_demo --require-device without Vulkan: status ${rc}\n${out}${err}")
endif()

# A shorter run after a longer one with check files: what the first wrote
# and the second does not write again goes, names kova_demo never writes stay.
set(stale ${WORK}/stale)
execute_process(COMMAND ${DEMO} --device cpu --scene points --points 300 --frames 4 --size 32x24
                  --dump --out ${stale} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "kova_demo run of 4 frames: status ${rc}\n${out}${err}")
endif()
foreach(name notes.txt frame_12.png frame_0001.png.bak frame_00001.png animation.png)
  file(WRITE ${stale}/${name} "not this run's")
endforeach()
execute_process(COMMAND ${DEMO} --device cpu --scene points --points 300 --frames 2 --size 32x24
                  --out ${stale} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(GLOB left RELATIVE ${stale} ${stale}/*)
list(SORT left)
if(NOT rc EQUAL 0 OR NOT out MATCHES "removed 15 files of an earlier run" OR NOT left STREQUAL
   "frame_0000.png;frame_00001.png;frame_0001.png;frame_0001.png.bak;frame_12.png;notes.txt")
  message(FATAL_ERROR "kova_demo shorter run: status ${rc}, files '${left}'\n${out}${err}")
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
                    ${DEMO} --device ${device} --frames=2 --size=64x48 --out ${WORK}/ok_${device}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  file(GLOB left RELATIVE ${WORK}/ok_${device} ${WORK}/ok_${device}/*)
  if(NOT rc EQUAL 0 OR NOT left STREQUAL "animation.png;frame_0000.png;frame_0001.png")
    message(FATAL_ERROR "kova_demo small run on ${device}: status ${rc}, files '${left}'\n${out}${err}")
  endif()
endforeach()
