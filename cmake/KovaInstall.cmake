# Installation: the three headers, the libraries, a CMake package with
# exported kova:: targets and a version file, and a pkg-config file.
include(CMakePackageConfigHelpers)

set(KOVA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kova)

install(TARGETS kova_kernel kova_rhi kova_renderer kova_kova
  EXPORT kovaTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES
  ${PROJECT_SOURCE_DIR}/src/kova_kernel.hpp
  ${PROJECT_SOURCE_DIR}/src/kova_rhi.hpp
  ${PROJECT_SOURCE_DIR}/src/kova_renderer.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT kovaTargets NAMESPACE kova:: DESTINATION ${KOVA_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kovaConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kovaConfig.cmake INSTALL_DESTINATION ${KOVA_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kovaConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kovaConfig.cmake ${PROJECT_BINARY_DIR}/kovaConfigVersion.cmake
  DESTINATION ${KOVA_CMAKE_DIR})

# The .pc file finds the prefix from its own place (${pcfiledir}), so that
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
configure_file(${PROJECT_SOURCE_DIR}/cmake/kova.pc.in ${PROJECT_BINARY_DIR}/kova.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kova.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
