# Installs the tool, the library with its headers, a CMake package
# (find_package(qz7lib) giving qz7lib::qz7lib) and a pkg-config file.
include(CMakePackageConfigHelpers)

if(TARGET qz7)
  install(TARGETS qz7 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(TARGETS qz7lib EXPORT qz7libTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY src/qz7lib DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")

set(QZ7_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qz7lib)
install(EXPORT qz7libTargets NAMESPACE qz7lib:: DESTINATION ${QZ7_CMAKE_DIR})
configure_package_config_file(cmake/qz7libConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/qz7libConfig.cmake INSTALL_DESTINATION ${QZ7_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/qz7libConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qz7libConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/qz7libConfigVersion.cmake DESTINATION ${QZ7_CMAKE_DIR})

# The pkg-config file finds its prefix relative to itself, so the tree can move.
file(RELATIVE_PATH QZ7_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
configure_file(cmake/qz7lib.pc.in ${CMAKE_CURRENT_BINARY_DIR}/qz7lib.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qz7lib.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
