# Installs what surrounds the executable (rule file, DDS settings, manual page,
# systemd unit) and describes the Debian package that `cpack -G DEB` builds
# from the same install rules.

# corvane looks for its rule file here whatever the prefix, so the two files
# in it go to this absolute path; DESTDIR still applies.
set(CORVANE_CONFIG_DIR /etc/zerudevav/ostrakit/bridge)
set(CORVANE_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(CORVANE_PACKAGING_BINARY_DIR ${PROJECT_BINARY_DIR}/packaging)

install(FILES ${PROJECT_SOURCE_DIR}/examples/bridge.yaml
        DESTINATION ${CORVANE_CONFIG_DIR})
install(FILES ${CORVANE_PACKAGING_DIR}/cyclonedds.xml ${CORVANE_PACKAGING_DIR}/fastdds.xml
        DESTINATION ${CORVANE_CONFIG_DIR})

find_program(CORVANE_GZIP gzip)
if(NOT CORVANE_GZIP)
  message(FATAL_ERROR "gzip is needed to compress the manual page")
endif()
# -n leaves name and time out of the header, so the package is reproducible.
add_custom_command(
  OUTPUT ${CORVANE_PACKAGING_BINARY_DIR}/corvane.1.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${CORVANE_PACKAGING_DIR}/corvane.1
          ${CORVANE_PACKAGING_BINARY_DIR}/corvane.1
  COMMAND ${CORVANE_GZIP} -9nf ${CORVANE_PACKAGING_BINARY_DIR}/corvane.1
  DEPENDS ${CORVANE_PACKAGING_DIR}/corvane.1
  VERBATIM)
add_custom_target(corvane_manual ALL DEPENDS ${CORVANE_PACKAGING_BINARY_DIR}/corvane.1.gz)
install(FILES ${CORVANE_PACKAGING_BINARY_DIR}/corvane.1.gz DESTINATION share/man/man1)

# The unit names the executable by its installed path, which is known only
# when installing: /usr/bin in the package, <prefix>/bin otherwise.
install(CODE "
  set(CORVANE_INSTALL_BINDIR \"\${CMAKE_INSTALL_PREFIX}/bin\")
  configure_file(\"${CORVANE_PACKAGING_DIR}/corvane.service.in\"
                 \"${CORVANE_PACKAGING_BINARY_DIR}/corvane.service\" @ONLY)
")
install(FILES ${CORVANE_PACKAGING_BINARY_DIR}/corvane.service DESTINATION lib/systemd/system)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "corvane developers <corvane@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "relay of DDS topics and ROS 2 topics, services and actions between DDS domains")
# One line each in the control file's extended description.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "corvane relays DDS traffic between DDS domains as a YAML rule file\n"
  "describes: plain DDS topics, and the DDS topics behind ROS 2 topics,\n"
  "services and actions. Samples are never decoded; their serialized bytes\n"
  "are written unchanged in the other domain.\n"
  "\n"
  "The systemd unit keeps DDS on the loopback interface until the operator\n"
  "chooses interfaces in /etc/zerudevav/ostrakit/bridge/cyclonedds.xml\n"
  "and, for ROS 2 services and actions, in fastdds.xml beside it.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends comes from the libraries the executable links (Cyclone DDS, Fast DDS,
# yaml-cpp, the C and C++ runtimes), as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# Absolute install destinations (/etc) must land in the package, not on the
# building machine.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CORVANE_PACKAGING_DIR}/conffiles
    ${CORVANE_PACKAGING_DIR}/postinst
    ${CORVANE_PACKAGING_DIR}/prerm
    ${CORVANE_PACKAGING_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
