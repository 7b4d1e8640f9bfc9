# render_quick_start refuses bad arguments with a message and exit status 2,
# writing nothing: no argument, two arguments, an empty path, a path in a
# folder that does not exist, a folder. Run with -DAPP=<program> -DWORK=<dir>.
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/folder.png)

function(expect_refusal said)
  execute_process(COMMAND ${APP} ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  list(JOIN ARGN " " shown)
  if(NOT rc EQUAL 2 OR NOT err MATCHES "${said}")
    message(FATAL_ERROR "render_quick_start ${shown}: exit ${rc}, said '${err}${out}', expected exit 2 and '${said}'")
  endif()
  message(STATUS "render_quick_start ${shown}: ${err}")
endfunction()

expect_refusal("usage: .* OUT\\.png")
expect_refusal("usage: .* OUT\\.png" ${WORK}/a.png ${WORK}/b.png)
expect_refusal("usage: .* OUT\\.png" "")
expect_refusal("cannot write ${WORK}/missing/ring\\.png" ${WORK}/missing/ring.png)
expect_refusal("cannot write ${WORK}/folder\\.png" ${WORK}/folder.png)

file(GLOB_RECURSE left RELATIVE ${WORK} ${WORK}/*)
if(left OR NOT IS_DIRECTORY ${WORK}/folder.png)
  message(FATAL_ERROR "a refused run left files behind: ${left}")
endif()
