# Install rules: public headers under include/le/, the shared library, a
# pkg-config file and a CMake package exporting le_core::le_core.
include(CMakePackageConfigHelpers)

file(GLOB LE_PUBLIC_HEADERS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/le/le*.h)
set(LE_PUBLIC_HEADERS ${LE_PUBLIC_HEADERS} CACHE INTERNAL "")
install(FILES ${LE_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/le)

# A provisioned onnxruntime travels with the library (its versioned file and
# the links to it), so an installed tree runs without the build machine's cache.
if(LE_ORT_BUNDLED_LIBDIR)
  file(GLOB _ort_libs "${LE_ORT_BUNDLED_LIBDIR}/libonnxruntime.so*")
  install(FILES ${_ort_libs} DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

install(TARGETS le_core EXPORT le_coreTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT le_coreTargets NAMESPACE le_core:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/le_core)
configure_package_config_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/le_core-config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/le_core-config.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/le_core)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/le_core-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/le_core-config.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/le_core-config-version.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/le_core)

# The .pc file locates the prefix relative to itself, so a relocated install works.
file(RELATIVE_PATH LE_PC_UP /x/${CMAKE_INSTALL_LIBDIR}/pkgconfig /x)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/le_core.pc.in ${CMAKE_CURRENT_BINARY_DIR}/le_core.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/le_core.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
