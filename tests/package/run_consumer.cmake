# Steps of the packaging tests, run with cmake -P:
#   MODE=install      install BUILD_DIR into PREFIX (emptied first) and check what
#                     came along: HEADERS and the libraries, CMake and pkg-config
#                     files of kova and kova::device, VULKAN_HEADERS and those of
#                     kova::vulkan exactly when WITH_VULKAN (either way, header
#                     names are comma-separated), and no test, benchmark, program
#                     or example
#   MODE=build_install  configure SOURCE in WORK with only the libraries and
#                     EXTRA_ARGS, build it, then as MODE=install
#   MODE=project      configure, build and run the consumer project SOURCE in WORK:
#                     APPS (comma-separated, default app) are run as they are, RENDER_APP is run with
#                     a PNG path and its picture checked with RENDER_CHECK; with
#                     INSTALL_CHECK, also install it and check that no test,
#                     benchmark or example of kova came along; with CONFIGURE_FAILS,
#                     configuring must fail with output matching that regex
#   MODE=pkgconfig    compile and run QUICK_START with the flags of PREFIX's kova.pc,
#                     DEVICE_CONSUMER with kova-device.pc and, with WITH_VULKAN,
#                     RENDER_QUICK_START with kova-vulkan.pc and libpng
# Passed on: GENERATOR, MAKE_PROGRAM, CXX, CXX_FLAGS, BUILD_TYPE, EXTRA_ARGS.
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    list(JOIN ARGV " " shown)
    message(FATAL_ERROR "failed (${rc}): ${shown}")
  endif()
endfunction()

# Installs must not carry kova's tests, benchmarks, programs, examples or shader sources.
set(not_installed "(_tests|bench|kova_demo|kova_view|quick_start|e2e_check|render_check|test_support|kova_programs|\\.(comp|vert|frag|spv|inc)$)")

# Runs the renderer `app` with a PNG path and checks the picture it wrote.
function(render_and_check app png)
  file(REMOVE ${png})
  execute_process(COMMAND ${app} ${png} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  message(STATUS "${app}: ${err}${out}")
  if(NOT rc EQUAL 0 OR NOT out MATCHES "rendered 640x360 on the (Vulkan \\(.+\\)|CPU) device")
    message(FATAL_ERROR "${app} ${png} failed (${rc})")
  endif()
  run(${RENDER_CHECK} ${png})
endfunction()

function(check_install prefix)
  string(REPLACE "," ";" headers "${HEADERS}")
  string(REPLACE "," ";" vulkan_headers "${VULKAN_HEADERS}")
  list(TRANSFORM headers PREPEND include/)
  list(TRANSFORM vulkan_headers PREPEND include/)
  set(files ${headers} lib/libkova_kernel.a lib/libkova_rhi.a lib/libkova_renderer.a
      lib/libkova_device.a lib/cmake/kova/kovaConfig.cmake lib/cmake/kova/kovaTargets.cmake
      lib/pkgconfig/kova.pc lib/pkgconfig/kova-device.pc)
  set(vulkan_files ${vulkan_headers} lib/libkova_vulkan.a lib/cmake/kova/kovaVulkanTargets.cmake
      lib/pkgconfig/kova-vulkan.pc)
  if(WITH_VULKAN)
    list(APPEND files ${vulkan_files})
  else()
    foreach(f IN LISTS vulkan_files)
      if(EXISTS ${prefix}/${f})
        message(FATAL_ERROR "an install built without Vulkan carries ${f}")
      endif()
    endforeach()
  endif()
  file(GLOB_RECURSE installed RELATIVE ${prefix} ${prefix}/*)
  foreach(f IN LISTS files)
    if(NOT f IN_LIST installed)
      message(FATAL_ERROR "install lacks ${f}; it has: ${installed}")
    endif()
  endforeach()
  foreach(f IN LISTS installed)
    if(f MATCHES "${not_installed}")
      message(FATAL_ERROR "install carries ${f}")
    endif()
  endforeach()
  message(STATUS "installed: ${installed}")
endfunction()

if(MODE STREQUAL "install")
  file(REMOVE_RECURSE ${PREFIX})
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX})
  check_install(${PREFIX})
elseif(MODE STREQUAL "build_install")
  file(REMOVE_RECURSE ${WORK} ${PREFIX})
  separate_arguments(extra UNIX_COMMAND "${EXTRA_ARGS}")
  run(${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK} -G ${GENERATOR} -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}
      -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_CXX_FLAGS=${CXX_FLAGS} -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
      -DKOVA_BUILD_TESTS=OFF -DKOVA_BUILD_BENCH=OFF -DKOVA_BUILD_PROGRAMS=OFF -DKOVA_BUILD_EXAMPLES=OFF
      ${extra})
  run(${CMAKE_COMMAND} --build ${WORK})
  run(${CMAKE_COMMAND} --install ${WORK} --prefix ${PREFIX})
  check_install(${PREFIX})
elseif(MODE STREQUAL "project")
  file(REMOVE_RECURSE ${WORK})
  separate_arguments(extra UNIX_COMMAND "${EXTRA_ARGS}")
  set(configure ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/build -G ${GENERATOR}
      -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM} -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_CXX_FLAGS=${CXX_FLAGS}
      -DCMAKE_BUILD_TYPE=${BUILD_TYPE} ${extra})
  if(DEFINED CONFIGURE_FAILS)
    execute_process(COMMAND ${configure} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    string(REGEX REPLACE "[ \t\r\n]+" " " said "${out}${err}")
    if(rc EQUAL 0 OR NOT said MATCHES "${CONFIGURE_FAILS}")
      message(FATAL_ERROR "configuring ${SOURCE} was to fail saying '${CONFIGURE_FAILS}' (${rc}): ${said}")
    endif()
    message(STATUS "configuring failed as it should: ${err}")
    return()
  endif()
  run(${configure})
  run(${CMAKE_COMMAND} --build ${WORK}/build)
  if(NOT DEFINED APPS)
    set(APPS app)
  endif()
  string(REPLACE "," ";" APPS "${APPS}")
  foreach(app IN LISTS APPS)
    run(${WORK}/build/${app})
  endforeach()
  if(RENDER_APP)
    render_and_check(${WORK}/build/${RENDER_APP} ${WORK}/ring.png)
  endif()
  if(INSTALL_CHECK)
    run(${CMAKE_COMMAND} --install ${WORK}/build --prefix ${WORK}/prefix)
    file(GLOB_RECURSE installed RELATIVE ${WORK}/prefix ${WORK}/prefix/*)
    foreach(f IN LISTS installed)
      if(f MATCHES "${not_installed}")
        message(FATAL_ERROR "the subproject installed ${f}")
      endif()
    endforeach()
    if(NOT "bin/app" IN_LIST installed OR NOT "include/kova_renderer.hpp" IN_LIST installed)
      message(FATAL_ERROR "unexpected install of the consumer: ${installed}")
    endif()
  endif()
elseif(MODE STREQUAL "pkgconfig")
  find_program(PKG_CONFIG pkg-config REQUIRED)
  # Move the tree first: the .pc files must find it wherever it lies.
  file(GLOB_RECURSE pc_files ${PREFIX}/*/kova.pc)
  list(GET pc_files 0 pc)
  get_filename_component(pc_dir ${pc} DIRECTORY)
  file(REMOVE_RECURSE ${WORK})
  file(COPY ${PREFIX}/ DESTINATION ${WORK}/moved)
  file(RELATIVE_PATH pc_rel ${PREFIX} ${pc_dir})
  set(ENV{PKG_CONFIG_PATH} ${WORK}/moved/${pc_rel})
  separate_arguments(cxx_flags UNIX_COMMAND "${CXX_FLAGS}")

  # Compiles SOURCE into WORK/NAME with the flags pkg-config gives for PACKAGES.
  function(build_with name source)
    execute_process(COMMAND ${PKG_CONFIG} --cflags --libs ${ARGN} OUTPUT_VARIABLE flags
                    RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "pkg-config does not know ${ARGN}")
    endif()
    message(STATUS "pkg-config --cflags --libs ${ARGN}: ${flags}")
    if(NOT flags MATCHES "-I${WORK}/moved/" OR NOT flags MATCHES "-L${WORK}/moved/")
      message(FATAL_ERROR "the .pc files do not point into the tree they lie in: ${flags}")
    endif()
    separate_arguments(flags UNIX_COMMAND "${flags}")
    run(${CXX} ${cxx_flags} ${source} ${flags} -o ${WORK}/${name})
  endfunction()

  build_with(app ${QUICK_START} kova)
  run(${WORK}/app)
  build_with(device_app ${DEVICE_CONSUMER} kova-device)
  run(${WORK}/device_app)
  if(WITH_VULKAN)
    build_with(render_app ${RENDER_QUICK_START} kova-vulkan libpng)
    render_and_check(${WORK}/render_app ${WORK}/ring.png)
  endif()
else()
  message(FATAL_ERROR "unknown MODE '${MODE}'")
endif()
