# Install rules and the Debian packages (CPack, DEB generator): qpr2427k holds
# the plug-in, qpr2427k-tools the runner, the simulator, their man pages, the
# examples, the default settings and options (conffiles) and the service.
set(QPR_PACKAGE_MAINTAINER "qpr2427k maintainers <qpr2427k@example.org>"
    CACHE STRING "Maintainer field and changelog signature of the Debian packages")
set(QPR_DEB_RELEASE 1 CACHE STRING "Debian revision of the packages")

find_program(QPR_DPKG dpkg REQUIRED)
find_program(QPR_DPKG_ARCHITECTURE dpkg-architecture REQUIRED)
find_program(QPR_DPKG_SHLIBDEPS dpkg-shlibdeps REQUIRED)
find_program(QPR_FILE file REQUIRED)  # CPack finds ELF files with it for dpkg-shlibdeps

# The Debian architecture of the programs built: the toolchain's triplet when
# cross-building (arm-linux-gnueabihf: armhf), else this machine's.
if(CMAKE_CROSSCOMPILING)
  execute_process(COMMAND ${QPR_DPKG_ARCHITECTURE} -t${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
    OUTPUT_VARIABLE QPR_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE rc)
else()
  execute_process(COMMAND ${QPR_DPKG} --print-architecture
    OUTPUT_VARIABLE QPR_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
endif()
if(NOT rc EQUAL 0 OR NOT QPR_DEB_ARCH)
  message(FATAL_ERROR "cannot tell the Debian architecture of ${CMAKE_LIBRARY_ARCHITECTURE}")
endif()

set(QPR_DEB_SOURCE qpr2427k)
set(QPR_DEB_VERSION ${QPR_VERSION_FULL}-${QPR_DEB_RELEASE})
set(QPR_DEB_DATE "${QPR_SOURCE_DATE}")
if(NOT QPR_DEB_DATE)
  string(TIMESTAMP QPR_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
endif()

# ---- Files.
set(qpr_gen ${PROJECT_BINARY_DIR}/packaging)
set(qpr_src ${PROJECT_SOURCE_DIR}/packaging)

install(TARGETS qpr2427k LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/qpr2427k COMPONENT plugin)
# The programs link kldhost, the host framework that also gives the plug-in
# its host symbols; it is no public library, so it lives in the private
# folder too, found through the programs' RUNPATH (relative, so that an
# unpacked copy of the package runs as well).
install(TARGETS kldhost LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/qpr2427k COMPONENT tools)
file(RELATIVE_PATH qpr_bin_to_private ${CMAKE_INSTALL_FULL_BINDIR} ${QPR_PLUGIN_INSTALL_DIR})
set_target_properties(qpr2427k-host qpr2427k-sim PROPERTIES INSTALL_RPATH "$ORIGIN/${qpr_bin_to_private}")
install(TARGETS qpr2427k-host qpr2427k-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(FILES ${QPR_MAN_DIR}/qpr2427k-host.1.gz ${QPR_MAN_DIR}/qpr2427k-sim.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
# Examples stay beside the programs' data, not under /usr/share/doc, which
# minimal systems leave out: scenarios are inputs of --simulate.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/
  DESTINATION ${CMAKE_INSTALL_DATADIR}/qpr2427k/examples COMPONENT tools)
# The Wireshark dissector of --decode-capture --pcap files, loaded with
# tshark -X lua_script:FILE or copied into a user's Wireshark plug-ins.
install(FILES ${PROJECT_SOURCE_DIR}/tools/host/wireshark/qpr2427k.lua
  DESTINATION ${CMAKE_INSTALL_DATADIR}/qpr2427k/wireshark COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/examples/site.json
  DESTINATION ${QPR_CONFIG_INSTALL_DIR} RENAME settings.json COMPONENT tools)
install(FILES ${qpr_src}/options DESTINATION ${QPR_CONFIG_INSTALL_DIR} COMPONENT tools)
# The SNMP subagent's MIB, where net-snmp's tools look for MIB files (only
# with the subagent).
if(QPR_SNMP)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/host/outputs/snmp/QPR2427K-MIB.txt
    DESTINATION ${CMAKE_INSTALL_DATADIR}/snmp/mibs COMPONENT tools)
endif()
configure_file(${qpr_src}/qpr2427k-host.service.in ${qpr_gen}/qpr2427k-host.service @ONLY)
# Debian 12 keeps packaged units in /lib/systemd/system.
install(FILES ${qpr_gen}/qpr2427k-host.service DESTINATION /lib/systemd/system COMPONENT tools)

# Each package's copyright and changelog.
configure_file(${qpr_src}/changelog.in ${qpr_gen}/changelog.Debian @ONLY)
execute_process(COMMAND ${QPR_GZIP} -9nc ${qpr_gen}/changelog.Debian
  OUTPUT_FILE ${qpr_gen}/changelog.Debian.gz RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot compress the Debian changelog")
endif()
foreach(pair plugin:qpr2427k tools:qpr2427k-tools)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${qpr_src}/copyright ${qpr_gen}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  # lintian reads a package's overrides, each with its reason, from here.
  install(FILES ${qpr_src}/lintian/${package}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides COMPONENT ${component})
endforeach()

# dpkg keeps an administrator's changes to these over upgrades, and removes
# them on purge.
file(WRITE ${qpr_gen}/tools/conffiles
  "${QPR_CONFIG_INSTALL_DIR}/options\n${QPR_CONFIG_INSTALL_DIR}/settings.json\n")
foreach(script postinst prerm postrm)
  configure_file(${qpr_src}/tools/${script} ${qpr_gen}/tools/${script} COPYONLY)
endforeach()

# ---- Packages.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qpr2427k)
set(CPACK_PACKAGE_VERSION ${QPR_VERSION_FULL})
set(CPACK_PACKAGE_VENDOR "the qpr2427k authors")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL plugin tools)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QPR_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${QPR_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QPR_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SOURCE ${QPR_DEB_SOURCE})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies from the ELF files, by dpkg-shlibdeps (for the target
# architecture: cmake/CPackDeb.cmake.in sets DEB_HOST_ARCH).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A cross build takes net-snmp from scripts/armhf-snmp-sysroot.sh's folder, as
# no libsnmp40 of the target is installed here to name the dependency: the
# folder holds libsnmp40 as a package tree, control area included, so
# dpkg-shlibdeps finds the agent libraries there (-l) and their dependency in
# that package's own shlibs file. CPack runs dpkg-shlibdeps with
# --ignore-missing-info, which would drop the dependency without a word:
# scripts/package.sh checks it is there.
if(QPR_SNMP AND CMAKE_CROSSCOMPILING AND QPR_ARMHF_SNMP_SYSROOT)
  set(qpr_snmp_tree ${QPR_ARMHF_SNMP_SYSROOT}/packages/libsnmp40)
  if(NOT EXISTS ${qpr_snmp_tree}/DEBIAN/shlibs)
    message(FATAL_ERROR "${qpr_snmp_tree}/DEBIAN/shlibs is missing: the package's dependency on "
      "libsnmp40 cannot be named; run scripts/armhf-snmp-sysroot.sh again")
  endif()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${qpr_snmp_tree}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME qpr2427k)
set(CPACK_COMPONENT_PLUGIN_DESCRIPTION
  "device-driver plug-in for power-system monitoring controllers
qpr2427k.so is loaded by a monitoring controller's host application and
polls one telecom DC power system of the QPR2427K family (rectifier modules,
AC distribution, DC distribution with batteries and fuses) over a serial line
with the YD/T 1363.3 protocol, publishing values, history and alarms.

The plug-in is installed in a private folder of the library directory; hosts
load it by path.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME qpr2427k-tools)
set(CPACK_COMPONENT_TOOLS_DEPENDS plugin)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "gateway service and simulator for the qpr2427k plug-in
qpr2427k-host loads the qpr2427k plug-in and polls a power system over a
serial line, a serial-to-Ethernet converter or its built-in simulator, and
exports the values, alarms and communication health to MQTT (with Home
Assistant discovery), over HTTP (Prometheus metrics, JSON, a status page) and
to an events file. The package runs it as the qpr2427k-host systemd service,
configured in /etc/qpr2427k.

qpr2427k-sim simulates such a power system on a serial line or TCP port.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA
  ${qpr_gen}/tools/conffiles ${qpr_gen}/tools/postinst ${qpr_gen}/tools/prerm ${qpr_gen}/tools/postrm)

# Read by cpack when it runs: dpkg-shlibdeps must look for the target's
# libraries, not the build machine's.
configure_file(${PROJECT_SOURCE_DIR}/cmake/CPackDeb.cmake.in ${qpr_gen}/CPackDeb.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${qpr_gen}/CPackDeb.cmake)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/packages)
include(CPack)
