# Installation: the libraries with namespaced CMake targets (RBO::rbo,
# RBO::rbohost, RBO::rboproblem), a package config with its version file for find_package(RBO),
# pkg-config files, and the public headers including the generated version
# header.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(RBO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/RBO)

install(TARGETS rbo rbohost rboproblem EXPORT RBOTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/rbo DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${RBO_GENERATED_INCLUDE_DIR}/rbo/Version.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/rbo)
install(EXPORT RBOTargets NAMESPACE RBO:: DESTINATION ${RBO_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/RBOConfig.cmake.in
  ${PROJECT_BINARY_DIR}/RBOConfig.cmake INSTALL_DESTINATION ${RBO_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/RBOConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/RBOConfig.cmake ${PROJECT_BINARY_DIR}/RBOConfigVersion.cmake
  DESTINATION ${RBO_CMAKE_DIR})

# pkg-config: librbo needs the host's symbols at link time, so rbo.pc
# requires rbohost.pc.  The files find the prefix from their own place, so
# an install with `cmake --install --prefix` elsewhere stays usable.
file(RELATIVE_PATH RBO_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" RBO_PC_TO_PREFIX "${RBO_PC_TO_PREFIX}")
foreach(pc IN ITEMS rbo rbohost)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
