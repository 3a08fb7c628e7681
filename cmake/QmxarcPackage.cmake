# Installs libqmxarc for other projects: the static library, its headers
# under include/qmxarc (same layout as in the repository, so the sources'
# own "archive/..." includes resolve), a CMake package exporting
# qmxarc::qmxarc, and qmxarc.pc for pkg-config.
include(CMakePackageConfigHelpers)

set(QMX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qmxarc)

install(TARGETS qmxarc EXPORT qmxarcTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/archive/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qmxarc/archive
  FILES_MATCHING PATTERN "*.h")

install(EXPORT qmxarcTargets NAMESPACE qmxarc:: DESTINATION ${QMX_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/qmxarcConfig.cmake.in
  ${PROJECT_BINARY_DIR}/qmxarcConfig.cmake
  INSTALL_DESTINATION ${QMX_CMAKE_DIR})
# Before 1.0 a minor release may break the interface, so only the same
# minor version is compatible.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qmxarcConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/qmxarcConfig.cmake ${PROJECT_BINARY_DIR}/qmxarcConfigVersion.cmake
  DESTINATION ${QMX_CMAKE_DIR})

# pkg-config: the prefix is found from the .pc file's own place, so an
# install with `cmake --install --prefix` elsewhere still resolves.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(QMX_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH QMX_PC_UP "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
  string(REGEX REPLACE "/$" "" QMX_PC_UP "${QMX_PC_UP}")
  set(QMX_PC_PREFIX "\${pcfiledir}/${QMX_PC_UP}")
endif()
set(QMX_PC_LINK_OPTIONS "")
if(QMX_SANITIZE OR QMX_FUZZ)
  set(QMX_PC_LINK_OPTIONS " -fsanitize=address,undefined")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/qmxarc.pc.in ${PROJECT_BINARY_DIR}/qmxarc.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qmxarc.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
