# Compiles SOURCE with COMPILER and checks the outcome: EXPECT is "success", or
# "failure" together with a MESSAGE that the diagnostic must contain. STD is the
# language standard (c++23 when not given); FLAGS adds options (a list);
# ONE_ERROR set means the diagnostic must hold exactly one error.
if(NOT STD)
  set(STD c++23)
endif()
execute_process(
  COMMAND ${COMPILER} -std=${STD} ${FLAGS} -fsyntax-only -I${INCLUDE_DIR} ${SOURCE}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE out
  ERROR_VARIABLE out)
if(EXPECT STREQUAL "success")
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "expected ${SOURCE} to compile:\n${out}")
  endif()
else()
  if(result EQUAL 0)
    message(FATAL_ERROR "expected ${SOURCE} not to compile, but it did")
  endif()
  string(FIND "${out}" "${MESSAGE}" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "the diagnostic does not mention '${MESSAGE}':\n${out}")
  endif()
  if(ONE_ERROR)
    string(REGEX MATCHALL "error:" errors "${out}")
    list(LENGTH errors count)
    if(NOT count EQUAL 1)
      message(FATAL_ERROR "expected exactly one error, got ${count}:\n${out}")
    endif()
  endif()
endif()
