# Installs the library, its header, the jar, the tools, a CMake package and a pkg-config file; packs a .deb.
include(CMakePackageConfigHelpers)

install(TARGETS ZoravoVAR EXPORT ZoravoVARTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development)
install(FILES reader/include/zoravoVAR.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install_jar(zoravovar DESTINATION ${CMAKE_INSTALL_DATADIR}/java COMPONENT runtime)
if(ZORAVOVAR_JAVA3D)
  install_jar(zoravovar-j3d DESTINATION ${CMAKE_INSTALL_DATADIR}/java COMPONENT runtime)
endif()

# Debian's JVMs search the multiarch jni folder by default: a link there lets
# System.loadLibrary("ZoravoVAR") work without -Djava.library.path.
file(MAKE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/jni-link")
file(CREATE_LINK "../libZoravoVAR.so.${PROJECT_VERSION_MAJOR}" "${CMAKE_CURRENT_BINARY_DIR}/jni-link/libZoravoVAR.so"
  SYMBOLIC)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/jni-link/libZoravoVAR.so" DESTINATION ${CMAKE_INSTALL_LIBDIR}/jni
  COMPONENT runtime)

if(ZORAVOVAR_BUILD_TOOLS)
  # Only a prefix whose library folder the loader does not search needs a RUNPATH (none under /usr).
  if(NOT "${CMAKE_INSTALL_FULL_LIBDIR}" IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
    set_target_properties(trackd-monitor PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  endif()
  install(TARGETS trackd-sim trackd-monitor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()

set(ZORAVOVAR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ZoravoVAR)
install(EXPORT ZoravoVARTargets NAMESPACE ZoravoVAR:: DESTINATION ${ZORAVOVAR_CMAKE_DIR} COMPONENT development)
configure_package_config_file(cmake/ZoravoVARConfig.cmake.in "${CMAKE_CURRENT_BINARY_DIR}/ZoravoVARConfig.cmake"
  INSTALL_DESTINATION ${ZORAVOVAR_CMAKE_DIR})
write_basic_package_version_file("${CMAKE_CURRENT_BINARY_DIR}/ZoravoVARConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/ZoravoVARConfig.cmake" "${CMAKE_CURRENT_BINARY_DIR}/ZoravoVARConfigVersion.cmake"
  DESTINATION ${ZORAVOVAR_CMAKE_DIR} COMPONENT development)

# Plain flags: a staged or relocated install is used with pkg-config --define-variable=prefix=...
configure_file(cmake/zoravovar.pc.in "${CMAKE_CURRENT_BINARY_DIR}/zoravovar.pc" @ONLY)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/zoravovar.pc" DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)

set(CPACK_PACKAGE_NAME zoravovar)
set(CPACK_PACKAGE_VENDOR "ZoravoVAR developers")
set(CPACK_PACKAGE_CONTACT "ZoravoVAR developers <zoravovar@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "libZoravoVAR reads the tracker and controller segments that the trackd tracking \
daemon publishes in System V shared memory, through a C interface and the Java class \
calvora.devicedriver.TrackdJNI. Includes trackd-sim and trackd-monitor.")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "default-jre-headless | java-runtime-headless")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
include(CPack)
