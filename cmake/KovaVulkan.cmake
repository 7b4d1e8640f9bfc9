# KOVA_VULKAN: the Vulkan device (kova::vulkan). On by default when the
# Vulkan loader, its headers and glslc are found, for a top-level build and a
# subproject alike; asking for it without them is a configuration error
# rather than a silent omission.
find_package(Vulkan QUIET COMPONENTS glslc)
set(kova_vulkan_found OFF)
if(Vulkan_FOUND AND Vulkan_glslc_FOUND)
  set(kova_vulkan_found ON)
endif()
option(KOVA_VULKAN "Build the Vulkan device kova::vulkan (needs libvulkan-dev and glslc)"
  ${kova_vulkan_found})
if(KOVA_VULKAN AND NOT kova_vulkan_found)
  message(FATAL_ERROR "KOVA_VULKAN is ON but Vulkan or glslc was not found "
    "(scripts/deps vulkan installs them)")
endif()
message(STATUS "kova: Vulkan device ${KOVA_VULKAN}")

# Tests and tools that run on Vulkan pick Mesa's software driver (lavapipe)
# through the loader's environment, so that they run on any machine.
if(KOVA_VULKAN)
  find_file(KOVA_LAVAPIPE_ICD NAMES lvp_icd.x86_64.json lvp_icd.aarch64.json lvp_icd.json
    PATHS /usr/share/vulkan/icd.d NO_DEFAULT_PATH)
endif()
