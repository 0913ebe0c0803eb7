# `cmake --install` lays out include/, lib/ (with lib/cmake/Brivant, the
# package configuration, and lib/pkgconfig/brivant.pc) and bin/ (the brivant
# tool; on Windows the DLL too).
include(CMakePackageConfigHelpers)

set(BRIVANT_CONFIG_DIR lib/cmake/Brivant)

install(TARGETS brivant EXPORT BrivantTargets
  LIBRARY DESTINATION lib
  ARCHIVE DESTINATION lib
  RUNTIME DESTINATION bin
  INCLUDES DESTINATION include)
install(TARGETS brivant_cli RUNTIME DESTINATION bin)
install(FILES include/brivant.h include/brivant.hpp ${BRIVANT_GENERATED_INCLUDE}/brivant_version.h
  DESTINATION include)

install(EXPORT BrivantTargets NAMESPACE Brivant:: DESTINATION ${BRIVANT_CONFIG_DIR})
configure_package_config_file(cmake/BrivantConfig.cmake.in
  ${PROJECT_BINARY_DIR}/BrivantConfig.cmake
  INSTALL_DESTINATION ${BRIVANT_CONFIG_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/BrivantConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/BrivantConfig.cmake
  ${PROJECT_BINARY_DIR}/BrivantConfigVersion.cmake
  DESTINATION ${BRIVANT_CONFIG_DIR})

# pkg-config's view of the same install: the version is the project's.
if(WIN32)
  set(BRIVANT_PC_LIBRARY BRIVANT) # BRIVANT.dll.a beside the DLL's import
else()
  set(BRIVANT_PC_LIBRARY brivant)
endif()
configure_file(cmake/brivant.pc.in ${PROJECT_BINARY_DIR}/brivant.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/brivant.pc DESTINATION lib/pkgconfig)
