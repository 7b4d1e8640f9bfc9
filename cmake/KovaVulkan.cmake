# KOVA_VULKAN: the example host's Vulkan device layer. On by default when the
# examples are built and the Vulkan loader, its headers and glslc are found;
# asking for it without them is a configuration error rather than a silent
# omission.
set(kova_vulkan_found OFF)
if(KOVA_BUILD_EXAMPLES)
  find_package(Vulkan QUIET COMPONENTS glslc)
  if(Vulkan_FOUND AND Vulkan_glslc_FOUND)
    set(kova_vulkan_found ON)
  endif()
endif()
option(KOVA_VULKAN "Build the Vulkan device layer of kova_demo (needs libvulkan-dev and glslc)"
  ${kova_vulkan_found})
if(KOVA_VULKAN AND NOT KOVA_BUILD_EXAMPLES)
  message(STATUS "kova: KOVA_VULKAN needs KOVA_BUILD_EXAMPLES; the Vulkan device layer is left out")
  set(KOVA_VULKAN OFF)
elseif(KOVA_VULKAN AND NOT kova_vulkan_found)
  message(FATAL_ERROR "KOVA_VULKAN is ON but Vulkan or glslc was not found "
    "(scripts/deps vulkan installs them)")
endif()
message(STATUS "kova: Vulkan device layer ${KOVA_VULKAN}")

# Tests and tools that run on Vulkan pick Mesa's software driver (lavapipe)
# through the loader's environment, so that they run on any machine.
if(KOVA_VULKAN)
  find_file(KOVA_LAVAPIPE_ICD NAMES lvp_icd.x86_64.json lvp_icd.aarch64.json lvp_icd.json
    PATHS /usr/share/vulkan/icd.d NO_DEFAULT_PATH)
endif()
