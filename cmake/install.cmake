# Installs the libraries, their headers, the jars, the tools, the Python module, a CMake package and
# pkg-config files, in six components that become six Debian packages: the runtime libraries, their
# development files, the Java classes, the Java 3D input device, the tools and the Python module.
include(CMakePackageConfigHelpers)

# trackd-mirror's systemd units, their defaults files and the system user they run as. Under /usr
# they go where Debian keeps them (/usr/lib/systemd/system, /etc/default, /usr/lib/sysusers.d); under any
# other prefix, beneath it, where systemd looks too. A copy of each unit that runs the build tree's
# program lets the tests verify them.
function(zoravovar_mirror_services)
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(unit_destination /usr/lib/systemd/system)
    set(defaults_destination /etc/default)
    set(sysusers_destination /usr/lib/sysusers.d)
  else()
    set(unit_destination lib/systemd/system)
    set(defaults_destination ${CMAKE_INSTALL_SYSCONFDIR}/default)
    set(sysusers_destination lib/sysusers.d)
  endif()
  foreach(kind unit defaults sysusers)
    cmake_path(ABSOLUTE_PATH ${kind}_destination BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}" OUTPUT_VARIABLE ${kind}_dir)
  endforeach()
  set(ZORAVOVAR_UNIT_DIR "${unit_dir}" PARENT_SCOPE)
  set(ZORAVOVAR_DEFAULTS_DIR "${defaults_dir}" PARENT_SCOPE)
  set(ZORAVOVAR_SYSUSERS_DIR "${sysusers_dir}" PARENT_SCOPE)

  set(sandbox_file "${PROJECT_SOURCE_DIR}/packaging/trackd-mirror-sandbox.conf")
  set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${sandbox_file}")
  file(READ "${sandbox_file}" ZORAVOVAR_MIRROR_SANDBOX)
  string(STRIP "${ZORAVOVAR_MIRROR_SANDBOX}" ZORAVOVAR_MIRROR_SANDBOX)
  foreach(role publish subscribe)
    set(unit trackd-mirror-${role}.service)
    set(ZORAVOVAR_DEFAULTS_DIR "${defaults_dir}")
    set(ZORAVOVAR_MIRROR_PROGRAM "${CMAKE_INSTALL_FULL_BINDIR}/trackd-mirror")
    configure_file(packaging/${unit}.in "${CMAKE_CURRENT_BINARY_DIR}/packaging/units/${unit}" @ONLY)
    install(FILES "${CMAKE_CURRENT_BINARY_DIR}/packaging/units/${unit}" DESTINATION ${unit_destination} COMPONENT tools)
    set(ZORAVOVAR_DEFAULTS_DIR "${CMAKE_CURRENT_BINARY_DIR}/packaging/defaults")
    set(ZORAVOVAR_MIRROR_PROGRAM "${CMAKE_BINARY_DIR}/bin/trackd-mirror")
    configure_file(packaging/${unit}.in "${CMAKE_CURRENT_BINARY_DIR}/packaging/build-units/${unit}" @ONLY)
    configure_file(packaging/trackd-mirror-${role}.default
      "${CMAKE_CURRENT_BINARY_DIR}/packaging/defaults/trackd-mirror-${role}" COPYONLY)
    install(FILES "${CMAKE_CURRENT_BINARY_DIR}/packaging/defaults/trackd-mirror-${role}"
      DESTINATION ${defaults_destination} COMPONENT tools)
  endforeach()
  install(FILES packaging/zoravovar-tools.sysusers DESTINATION ${sysusers_destination} COMPONENT tools
    RENAME zoravovar-tools.conf)
  # The Debian package: the defaults files are configuration its owner edits, and the user and group
  # are made on installation.
  file(CONFIGURE OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/packaging/tools/conffiles"
    CONTENT "${defaults_dir}/trackd-mirror-publish\n${defaults_dir}/trackd-mirror-subscribe\n")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_BINARY_DIR}/packaging/tools/conffiles"
    "${PROJECT_SOURCE_DIR}/packaging/tools/postinst" PARENT_SCOPE)
endfunction()

set(ZORAVOVAR_MAINTAINER "ZoravoVAR maintainers <maintainers@zoravovar.org>")
set(ZORAVOVAR_RUNTIME_PACKAGE "libzoravovar${PROJECT_VERSION_MAJOR}")  # named after the SONAME, as Debian wants

# The room library (the installation file and the room's math) goes with the reader into the same packages:
# one runtime package, one SONAME major, and one CMake package with both targets.
install(TARGETS ZoravoVAR ZoravoVARRoom EXPORT ZoravoVARTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development)
install(FILES reader/include/zoravoVAR.h room/include/zoravovarRoom.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT development)
# The C library's manual page, zoravovar(3), and a link to it under each function's name.
configure_file(reader/zoravovar.3.in "${CMAKE_CURRENT_BINARY_DIR}/man/zoravovar.3" @ONLY)
add_custom_command(OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/man/zoravovar.3.gz"
  COMMAND gzip -9nc "${CMAKE_CURRENT_BINARY_DIR}/man/zoravovar.3" > "${CMAKE_CURRENT_BINARY_DIR}/man/zoravovar.3.gz"
  DEPENDS "${CMAKE_CURRENT_BINARY_DIR}/man/zoravovar.3")
add_custom_target(library-manual-page ALL DEPENDS "${CMAKE_CURRENT_BINARY_DIR}/man/zoravovar.3.gz")
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/man/zoravovar.3.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man3
  COMPONENT development)
file(MAKE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/man/links")
foreach(function getZoravoVARVersion trackdInitTrackerReader trackdGetNumberOfSensors trackdGetPosition
                 trackdGetEulerAngles trackdGetMatrix trackdInitControllerReader trackdGetNumberOfButtons
                 trackdGetNumberOfValuators trackdGetButton trackdGetValuator)
  file(CREATE_LINK zoravovar.3.gz "${CMAKE_CURRENT_BINARY_DIR}/man/links/${function}.3.gz" SYMBOLIC)
  install(FILES "${CMAKE_CURRENT_BINARY_DIR}/man/links/${function}.3.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man3
    COMPONENT development)
endforeach()
install_jar(zoravovar DESTINATION ${CMAKE_INSTALL_DATADIR}/java COMPONENT java)
# Each Javadoc's copies of jQuery are replaced by links to Debian's (libjs-jquery, libjs-jquery-ui) in
# /usr/share/javascript, four folders up from the Javadoc's script-dir.
set(javadoc_links "${CMAKE_CURRENT_BINARY_DIR}/javadoc-links")
file(MAKE_DIRECTORY "${javadoc_links}")
function(zoravovar_install_javadoc built destination component)
  install(DIRECTORY "${built}/" DESTINATION ${destination} COMPONENT ${component} PATTERN "script-dir/jquery*" EXCLUDE)
  foreach(link IN ITEMS "jquery-3.7.1.min.js:jquery/jquery.min.js" "jquery-ui.min.js:jquery-ui/jquery-ui.min.js"
                        "jquery-ui.min.css:jquery-ui/themes/base/jquery-ui.min.css")
    string(REPLACE ":" ";" link "${link}")
    list(GET link 0 name)
    list(GET link 1 target)
    file(CREATE_LINK "../../../../javascript/${target}" "${javadoc_links}/${name}" SYMBOLIC)
    install(FILES "${javadoc_links}/${name}" DESTINATION ${destination}/script-dir COMPONENT ${component})
  endforeach()
endfunction()
zoravovar_install_javadoc("${CMAKE_CURRENT_BINARY_DIR}/javadoc" ${CMAKE_INSTALL_DATADIR}/doc/libzoravovar-java/api java)
if(ZORAVOVAR_JAVA3D)
  install_jar(zoravovar-j3d DESTINATION ${CMAKE_INSTALL_DATADIR}/java COMPONENT java3d)
  # The device's API documentation, which links to the Java package's.
  zoravovar_install_javadoc("${CMAKE_CURRENT_BINARY_DIR}/javadoc-j3d" ${CMAKE_INSTALL_DATADIR}/doc/libzoravovar-j3d-java/api
    java3d)
  # Java 3D configuration files for one wall and for three, to copy and measure.
  install(FILES java3d/config/trackd-one-wall.cfg java3d/config/trackd-three-walls.cfg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/zoravovar/java3d COMPONENT java3d)
endif()

# Debian's JVMs search the multiarch jni folder by default: a link there lets
# System.loadLibrary("ZoravoVAR") work without -Djava.library.path.
file(MAKE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/jni-link")
file(CREATE_LINK "../libZoravoVAR.so.${PROJECT_VERSION_MAJOR}" "${CMAKE_CURRENT_BINARY_DIR}/jni-link/libZoravoVAR.so"
  SYMBOLIC)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/jni-link/libZoravoVAR.so" DESTINATION ${CMAKE_INSTALL_LIBDIR}/jni
  COMPONENT java)
# The natives of calvora.devicedriver.room.Installation, loaded only by the JVM: the file itself goes there.
if(NOT "${CMAKE_INSTALL_FULL_LIBDIR}" IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
  set_target_properties(ZoravoVARRoomJNI PROPERTIES INSTALL_RPATH "$ORIGIN/..")
endif()
install(TARGETS ZoravoVARRoomJNI LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/jni COMPONENT java)

if(ZORAVOVAR_BUILD_TOOLS)
  # Only a prefix whose library folder the loader does not search needs a RUNPATH (none under /usr).
  if(NOT "${CMAKE_INSTALL_FULL_LIBDIR}" IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
    set_target_properties(trackd-sim trackd-monitor trackd-calibrate PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  endif()
  install(TARGETS trackd-sim trackd-monitor trackd-calibrate RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  set(ZORAVOVAR_TOOLS trackd-sim trackd-monitor trackd-calibrate trackd-viewer)
  if(ZORAVOVAR_BUILD_MIRROR)
    install(TARGETS trackd-mirror RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
    list(APPEND ZORAVOVAR_TOOLS trackd-mirror)
    zoravovar_mirror_services()
  endif()

  # The viewer's launcher finds the jars and the library from its own folder, by the same relative paths
  # installed (the library through the link in the jni folder) and in the build tree.
  get_target_property(demo_jar zoravovar-demo JAR_FILE)
  cmake_path(GET demo_jar FILENAME demo_jar_name)
  function(zoravovar_viewer_launcher launcher bin_dir library_dir jar demo_jar)
    cmake_path(RELATIVE_PATH library_dir BASE_DIRECTORY "${bin_dir}" OUTPUT_VARIABLE ZORAVOVAR_VIEWER_LIBRARY_DIR)
    cmake_path(RELATIVE_PATH jar BASE_DIRECTORY "${bin_dir}" OUTPUT_VARIABLE ZORAVOVAR_VIEWER_JAR)
    cmake_path(RELATIVE_PATH demo_jar BASE_DIRECTORY "${bin_dir}" OUTPUT_VARIABLE ZORAVOVAR_VIEWER_DEMO_JAR)
    configure_file(tools/viewer/trackd-viewer.in "${launcher}" @ONLY
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endfunction()
  zoravovar_viewer_launcher("${CMAKE_CURRENT_BINARY_DIR}/trackd-viewer" "${CMAKE_INSTALL_FULL_BINDIR}"
    "${CMAKE_INSTALL_FULL_LIBDIR}/jni" "${CMAKE_INSTALL_FULL_DATADIR}/java/zoravovar.jar"
    "${CMAKE_INSTALL_FULL_DATADIR}/zoravovar/${demo_jar_name}")
  install(PROGRAMS "${CMAKE_CURRENT_BINARY_DIR}/trackd-viewer" DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  # The same for the build tree.
  get_target_property(jar zoravovar JAR_FILE)
  zoravovar_viewer_launcher("${CMAKE_CURRENT_BINARY_DIR}/bin/trackd-viewer" "${CMAKE_CURRENT_BINARY_DIR}/bin"
    "${CMAKE_LIBRARY_OUTPUT_DIRECTORY}" "${jar}" "${demo_jar}")
  install_jar(zoravovar-demo DESTINATION ${CMAKE_INSTALL_DATADIR}/zoravovar COMPONENT tools)

  # The recordings' format, trackd-recording(5), written by hand.
  configure_file(packaging/trackd-recording.5.in "${CMAKE_CURRENT_BINARY_DIR}/man/trackd-recording.5" @ONLY)
  add_custom_command(OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/man/trackd-recording.5.gz"
    COMMAND gzip -9nc "${CMAKE_CURRENT_BINARY_DIR}/man/trackd-recording.5" >
            "${CMAKE_CURRENT_BINARY_DIR}/man/trackd-recording.5.gz"
    DEPENDS "${CMAKE_CURRENT_BINARY_DIR}/man/trackd-recording.5")
  add_custom_target(recording-manual-page ALL DEPENDS "${CMAKE_CURRENT_BINARY_DIR}/man/trackd-recording.5.gz")
  install(FILES "${CMAKE_CURRENT_BINARY_DIR}/man/trackd-recording.5.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man5
    COMPONENT tools)

  # The manual pages: trackd-sim's, trackd-monitor's and trackd-viewer's written by hand (the tools' tests
  # check that each names every option of the tool's --help); trackd-mirror's made by help2man from its
  # --help-all and an include file with what the help cannot hold.
  set(ZORAVOVAR_VIEWER_JARS "${CMAKE_INSTALL_FULL_DATADIR}/zoravovar/${demo_jar_name}")
  set(manual_pages)
  foreach(tool trackd-sim trackd-monitor trackd-viewer)
    configure_file(packaging/man/${tool}.1.in "${CMAKE_CURRENT_BINARY_DIR}/man/${tool}.1" @ONLY)
    set(page "${CMAKE_CURRENT_BINARY_DIR}/man/${tool}.1.gz")
    add_custom_command(OUTPUT "${page}"
      COMMAND gzip -9nc "${CMAKE_CURRENT_BINARY_DIR}/man/${tool}.1" > "${page}"
      DEPENDS "${CMAKE_CURRENT_BINARY_DIR}/man/${tool}.1")
    list(APPEND manual_pages "${page}")
  endforeach()
  find_program(HELP2MAN help2man)
  set(help2man_tools trackd-calibrate)
  set(trackd-calibrate_summary "measure the installation's screens and room frame with the wand")
  if(ZORAVOVAR_BUILD_MIRROR)
    list(APPEND help2man_tools trackd-mirror)
    set(trackd-mirror_summary "carry trackd's segments from the tracking host to render nodes over DDS")
  endif()
  if(NOT HELP2MAN)
    set(help2man_tools)
  endif()
  # trackd-calibrate's and trackd-mirror's pages made by help2man from --help-all and an include
  # file with what the help cannot hold.
  foreach(tool ${help2man_tools})
    set(include_file "${CMAKE_CURRENT_BINARY_DIR}/packaging/${tool}.h2m")
    configure_file(packaging/${tool}.h2m.in "${include_file}" @ONLY)
    set(page "${CMAKE_CURRENT_BINARY_DIR}/man/${tool}.1.gz")
    add_custom_command(OUTPUT "${page}"
      COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_CURRENT_BINARY_DIR}/man"
      COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section 1 --help-option=--help-all
              --name "${${tool}_summary}"
              --include "${include_file}" --version-string "${PROJECT_VERSION}"
              --output "${CMAKE_CURRENT_BINARY_DIR}/man/${tool}.1" "$<TARGET_FILE:${tool}>"
      COMMAND gzip -9nf "${CMAKE_CURRENT_BINARY_DIR}/man/${tool}.1"
      DEPENDS ${tool} "${include_file}"
      COMMENT "Writing the manual page of ${tool}"
      VERBATIM)
    list(APPEND manual_pages "${page}")
  endforeach()
  add_custom_target(manual-pages ALL DEPENDS ${manual_pages})
  install(FILES ${manual_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endif()

# The Python package where Debian's python3 looks: /usr/lib/python3/dist-packages for the system's
# packages, lib/python3.X/dist-packages below any other prefix (such as /usr/local).
if(ZORAVOVAR_PYTHON)
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(python_dir lib/python3/dist-packages)
  else()
    set(python_dir lib/python${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}/dist-packages)
  endif()
  set(ZORAVOVAR_PYTHON_INSTALL_DIR ${python_dir} CACHE PATH "Where the Python package zoravovar is installed")
  if(NOT "${CMAKE_INSTALL_FULL_LIBDIR}" IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
    cmake_path(RELATIVE_PATH CMAKE_INSTALL_FULL_LIBDIR
      BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}/${ZORAVOVAR_PYTHON_INSTALL_DIR}/zoravovar" OUTPUT_VARIABLE to_libdir)
    set_target_properties(_zoravovar PROPERTIES INSTALL_RPATH "$ORIGIN/${to_libdir}")
  endif()
  install(TARGETS _zoravovar LIBRARY DESTINATION ${ZORAVOVAR_PYTHON_INSTALL_DIR}/zoravovar COMPONENT python)
  install(FILES python/zoravovar/__init__.py python/zoravovar/__init__.pyi python/zoravovar/__main__.py
    python/zoravovar/_formats.py python/zoravovar/_marker.py python/zoravovar/_resample.py python/zoravovar/py.typed
    ${PROJECT_BINARY_DIR}/python/zoravovar/_built.py DESTINATION ${ZORAVOVAR_PYTHON_INSTALL_DIR}/zoravovar COMPONENT python)
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
foreach(module zoravovar zoravovar-room)
  configure_file(cmake/${module}.pc.in "${CMAKE_CURRENT_BINARY_DIR}/${module}.pc" @ONLY)
  install(FILES "${CMAKE_CURRENT_BINARY_DIR}/${module}.pc" DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT development)
endforeach()

# Each package carries the licence in Debian's machine-readable form and the changelog.
configure_file(packaging/copyright.in "${CMAKE_CURRENT_BINARY_DIR}/packaging/copyright" @ONLY)
configure_file(packaging/changelog.in "${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog" @ONLY)
add_custom_command(OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz"
  COMMAND gzip -9nc "${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog" > "${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz"
  DEPENDS "${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog")
add_custom_target(package-changelog ALL DEPENDS "${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz")

# Each package carries the README (compressed, as Debian wants documents over 4 kB) and the examples of
# what it holds.
add_custom_command(OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/packaging/README.md.gz"
  COMMAND gzip -9nc "${PROJECT_SOURCE_DIR}/README.md" > "${CMAKE_CURRENT_BINARY_DIR}/packaging/README.md.gz"
  DEPENDS "${PROJECT_SOURCE_DIR}/README.md")
add_custom_target(package-readme ALL DEPENDS "${CMAKE_CURRENT_BINARY_DIR}/packaging/README.md.gz")
set(ZORAVOVAR_EXAMPLES_development examples/c examples/cpp examples/opengl)
set(ZORAVOVAR_EXAMPLES_java examples/java)
set(ZORAVOVAR_EXAMPLES_java3d examples/java3d)
set(ZORAVOVAR_EXAMPLES_python examples/python)

set(ZORAVOVAR_PACKAGES runtime ${ZORAVOVAR_RUNTIME_PACKAGE} development libzoravovar-dev java libzoravovar-java
  tools zoravovar-tools)
if(ZORAVOVAR_JAVA3D)
  list(APPEND ZORAVOVAR_PACKAGES java3d libzoravovar-j3d-java)
endif()
if(ZORAVOVAR_PYTHON)
  list(APPEND ZORAVOVAR_PACKAGES python python3-zoravovar)
endif()
set(components)
while(ZORAVOVAR_PACKAGES)
  list(POP_FRONT ZORAVOVAR_PACKAGES component package)
  list(APPEND components ${component})
  string(TOUPPER ${component} COMPONENT)
  set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${COMPONENT}_FILE_NAME DEB-DEFAULT)
  install(FILES "${CMAKE_CURRENT_BINARY_DIR}/packaging/copyright" "${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz"
    "${CMAKE_CURRENT_BINARY_DIR}/packaging/README.md.gz" DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
    COMPONENT ${component})
  # The examples that use what the package holds, as they are in the source tree.
  if(ZORAVOVAR_EXAMPLES_${component})
    install(DIRECTORY ${ZORAVOVAR_EXAMPLES_${component}} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}/examples
      COMPONENT ${component})
  endif()
endwhile()

set(CPACK_PACKAGE_NAME zoravovar)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")  # each package's own first line is its synopsis
set(CPACK_PACKAGE_VENDOR "ZoravoVAR developers")
set(CPACK_PACKAGE_CONTACT "${ZORAVOVAR_MAINTAINER}")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://zoravovar.org/")
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${components})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_CURRENT_BINARY_DIR}/lib")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "reader of trackd's tracking segments in shared memory
libZoravoVAR reads the tracker and controller segments that the trackd motion
tracking daemon publishes in System V shared memory: each sensor's position,
angles and pose matrix, and the buttons and valuators. libZoravoVARRoom reads
the installation file (the tracker's calibration, the sensors and the screens)
and gives sensor poses, eye positions and each screen's view and off-axis
projection matrices.")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/packaging/triggers")
set(CPACK_POST_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/packaging/drop-ldconfig-scripts.cmake")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "reader of trackd's tracking segments - development files
The headers zoravoVAR.h and zoravovarRoom.h, the development links, a CMake
package (find_package ZoravoVAR) and the pkg-config modules zoravovar and
zoravovar-room for programs that read the segments of the trackd motion
tracking daemon through libZoravoVAR and the installation file through
libZoravoVARRoom.")

set(CPACK_DEBIAN_JAVA_PACKAGE_SECTION java)
set(CPACK_COMPONENT_JAVA_DEPENDS runtime)
set(CPACK_DEBIAN_JAVA_PACKAGE_DEPENDS "libjs-jquery, libjs-jquery-ui")
set(CPACK_COMPONENT_JAVA_DESCRIPTION "reader of trackd's tracking segments - Java classes
The class calvora.devicedriver.TrackdJNI, whose native methods read the
segments of the trackd motion tracking daemon through libZoravoVAR, and the
class calvora.devicedriver.room.Installation, which gives sensor poses, eye
positions and view and projection matrices from the installation file through
libZoravoVARRoom, for Java 8 and later, with their API documentation.")

set(CPACK_DEBIAN_JAVA3D_PACKAGE_SECTION java)
set(CPACK_DEBIAN_JAVA3D_PACKAGE_ARCHITECTURE all)
set(CPACK_COMPONENT_JAVA3D_DEPENDS java)
set(CPACK_DEBIAN_JAVA3D_PACKAGE_DEPENDS "libjava3d-java, libvecmath-java, libjs-jquery, libjs-jquery-ui")
set(CPACK_COMPONENT_JAVA3D_DESCRIPTION "reader of trackd's tracking segments - Java 3D input device
The class calvora.devicedriver.j3d.TrackdInputDevice makes the sensors of the
trackd motion tracking daemon the sensors of a Java 3D input device, for head
and hand tracking in Java 3D applications, with a helper for head-coupled
perspective and Java 3D configuration files for one wall and for three, with
its API documentation.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime java)
# The viewer's jar is built for Java ${ZORAVOVAR_TOOLS_JAVA_RELEASE}: a runtime of that version or later, with a display.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS
    "default-jre (>= 2:1.${ZORAVOVAR_TOOLS_JAVA_RELEASE}) | java${ZORAVOVAR_TOOLS_JAVA_RELEASE}-runtime, libpicocli-java")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "simulator, monitor, viewer, calibrator and mirror for trackd's segments
trackd-sim plays the part of the trackd motion tracking daemon, trackd-monitor
shows, checks and records what its segments hold, trackd-viewer draws the
sensors, buttons and valuators in a window, trackd-calibrate measures the
installation's screens and room frame with the wand, and trackd-mirror carries
the segments from the tracking host to the render nodes of an installation over
Cyclone DDS, with systemd units that run it as a service.")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)
# The interpreter it was built for, and numpy's binary interface, which pybind11's arrays rely on.
math(EXPR python_next "${Python_VERSION_MINOR} + 1")
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3 (>= ${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}~), \
python3 (<< ${Python_VERSION_MAJOR}.${python_next}), python3-numpy, python3-numpy-abi9")
# pandas and h5py only for Recording.to_dataframe, to_csv and to_hdf5, imported when asked for.
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-pandas, python3-h5py")
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/packaging/python3-zoravovar/prerm")
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "reader of trackd's tracking segments - Python module
The module zoravovar gives Python programs the sensors, buttons and valuators
of the trackd motion tracking daemon as numpy arrays, through libZoravoVAR,
loads the recordings of trackd-monitor as numpy arrays, and gives the room's
poses and matrices from the installation file through libZoravoVARRoom.")
include(CPack)
