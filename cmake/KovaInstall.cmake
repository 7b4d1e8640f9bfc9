# Installation: the public headers, the libraries, a CMake package with
# exported kova:: targets and a version file, and pkg-config files.
#
#   kova::kernel, kova::rhi, kova::renderer, kova::kova   kovaTargets.cmake, kova.pc
#   kova::device (device module and CPU device)           kovaTargets.cmake, kova-device.pc
#   kova::vulkan (when built, KOVA_VULKAN)                kovaVulkanTargets.cmake, kova-vulkan.pc
#
# kova::vulkan has an export set of its own, loaded by kovaConfig.cmake only
# where Vulkan is found, so that a host without Vulkan still gets the rest.
include(CMakePackageConfigHelpers)

set(KOVA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kova)
set(kova_install_dirs
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(TARGETS kova_kernel kova_rhi kova_renderer kova_kova kova_device
  EXPORT kovaTargets ${kova_install_dirs})
install(FILES
  ${PROJECT_SOURCE_DIR}/src/kova_kernel.hpp
  ${PROJECT_SOURCE_DIR}/src/kova_rhi.hpp
  ${PROJECT_SOURCE_DIR}/src/kova_renderer.hpp
  ${KOVA_DEVICE_PUBLIC_HEADERS}
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT kovaTargets NAMESPACE kova:: DESTINATION ${KOVA_CMAKE_DIR})

if(KOVA_VULKAN)
  install(TARGETS kova_vulkan EXPORT kovaVulkanTargets ${kova_install_dirs})
  install(FILES ${KOVA_VULKAN_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(EXPORT kovaVulkanTargets NAMESPACE kova:: DESTINATION ${KOVA_CMAKE_DIR})
endif()

# Read by kovaConfig.cmake: whether this install carries kova::vulkan.
set(KOVA_PACKAGE_HAS_VULKAN ${KOVA_VULKAN})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kovaConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kovaConfig.cmake INSTALL_DESTINATION ${KOVA_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kovaConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kovaConfig.cmake ${PROJECT_BINARY_DIR}/kovaConfigVersion.cmake
  DESTINATION ${KOVA_CMAKE_DIR})

# The .pc files find the prefix from their own place (${pcfiledir}), so that
# "cmake --install --prefix DIR" and moved trees give working flags.
set(KOVA_PC_LIBDIR ${CMAKE_INSTALL_LIBDIR})
set(KOVA_PC_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(KOVA_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
else()
  file(RELATIVE_PATH up /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" up "${up}")
  set(KOVA_PC_PREFIX "\${pcfiledir}/${up}")
endif()
set(kova_pc_files kova kova-device)
if(KOVA_VULKAN)
  list(APPEND kova_pc_files kova-vulkan)
endif()
foreach(pc IN LISTS kova_pc_files)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
