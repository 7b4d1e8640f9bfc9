# Compiler settings shared by every kova target.
#
# The arithmetic of kova is specified operation by operation, so sums of
# products must be evaluated exactly as written: contraction into fused
# multiply-adds is switched off. The library's headers carry inline and
# constexpr arithmetic that is compiled in the host's translation units too,
# which is why -ffp-contract=off is also part of the targets' usage
# requirements.

set(KOVA_WARNING_FLAGS -Wall -Wextra -Wpedantic -Werror)
set(KOVA_FP_FLAGS -ffp-contract=off)

# Applies kova's language level, warnings and floating-point rules to a
# target built from kova's own sources (library, tests, benchmarks, tools).
function(kova_target_defaults target)
  target_compile_features(${target} PUBLIC cxx_std_23)
  set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF)
  target_compile_options(${target} PRIVATE ${KOVA_WARNING_FLAGS} ${KOVA_FP_FLAGS})
  if(KOVA_NATIVE)
    target_compile_options(${target} PRIVATE -march=native)
  endif()
endfunction()
