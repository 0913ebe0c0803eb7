# `cmake --install` lays out include/, the library folder (lib/, or
# lib/<multiarch> under /usr on Debian) with cmake/Brivant, the package
# configuration, and pkgconfig/brivant.pc, and bin/ (the brivant tool; on
# Windows the DLL too). With BRIVANT_INSTALL_SYSTEM_FILES (the Debian
# packages), also the udev rule and the systemd unit of `brivant serve`.
include(CMakePackageConfigHelpers)
include(GNUInstallDirs)

set(BRIVANT_CONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Brivant)

install(TARGETS brivant EXPORT BrivantTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET brivant_cli)
  install(TARGETS brivant_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The installed tool finds the installed library beside it, wherever the
  # tree is moved; a library folder the system searches needs no path.
  list(FIND CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES "${CMAKE_INSTALL_FULL_LIBDIR}" BRIVANT_LIBDIR_IMPLICIT)
  if(NOT WIN32 AND BRIVANT_LIBDIR_IMPLICIT EQUAL -1)
    file(RELATIVE_PATH BRIVANT_BIN_TO_LIB "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_LIBDIR}")
    set_target_properties(brivant_cli PROPERTIES INSTALL_RPATH "$ORIGIN/${BRIVANT_BIN_TO_LIB}")
  endif()
endif()
install(FILES include/brivant.h include/brivant.hpp ${BRIVANT_GENERATED_INCLUDE}/brivant_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

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
file(RELATIVE_PATH BRIVANT_PC_TO_PREFIX "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig" "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "/$" "" BRIVANT_PC_TO_PREFIX "${BRIVANT_PC_TO_PREFIX}")
configure_file(cmake/brivant.pc.in ${PROJECT_BINARY_DIR}/brivant.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/brivant.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The udev rule and the service name the tool where it is installed. Both
# are written into the build tree either way, for a hand install.
set(BRIVANT_TOOL_PATH ${CMAKE_INSTALL_FULL_BINDIR}/brivant)
set(BRIVANT_STATION_FILE ${CMAKE_INSTALL_FULL_SYSCONFDIR}/brivant/station.toml)
if(NOT WIN32)
  configure_file(packaging/linux/60-brivant.rules.in ${PROJECT_BINARY_DIR}/60-brivant.rules @ONLY)
  configure_file(packaging/linux/brivant-serve.service.in ${PROJECT_BINARY_DIR}/brivant-serve.service
    @ONLY)
endif()
option(BRIVANT_INSTALL_SYSTEM_FILES "install the udev rule, the systemd unit and the station file" OFF)
if(BRIVANT_INSTALL_SYSTEM_FILES AND NOT WIN32)
  # Under the prefix (/usr for a package), where udev and systemd read a
  # package's files; /etc stays the administrator's.
  install(FILES ${PROJECT_BINARY_DIR}/60-brivant.rules DESTINATION lib/udev/rules.d)
  install(FILES ${PROJECT_BINARY_DIR}/brivant-serve.service DESTINATION lib/systemd/system)
  install(FILES packaging/linux/station.toml DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/brivant)
endif()
