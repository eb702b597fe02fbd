# The installed package: a CMake package (find_package(Plenova) gives the
# imported targets Plenova::plenova, the C++ interface, and
# Plenova::plenova_c, the C interface), a pkg-config file and the licence.
# The libraries and headers install themselves (api/, capi/ and the
# companion libraries' CMakeLists.txt).
include(CMakePackageConfigHelpers)

set(PLENOVA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Plenova)
install(EXPORT PlenovaTargets NAMESPACE Plenova:: DESTINATION ${PLENOVA_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/PlenovaConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/PlenovaConfig.cmake
  INSTALL_DESTINATION ${PLENOVA_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/PlenovaConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/PlenovaConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/PlenovaConfigVersion.cmake
  DESTINATION ${PLENOVA_CMAKE_DIR})

# plenova.pc locates itself (${pcfiledir}), so the prefix given to
# cmake --install need not be the one configured.
file(RELATIVE_PATH PLENOVA_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" PLENOVA_PC_TO_PREFIX "${PLENOVA_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/plenova.pc.in ${CMAKE_CURRENT_BINARY_DIR}/plenova.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/plenova.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/docs/embedding.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
