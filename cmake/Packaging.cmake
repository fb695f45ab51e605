# The Debian package of the Linux build: `cpack -G DEB` in the build tree, or scripts/package.
if(WIN32)
  return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ferrowind-mib)
set(CPACK_PACKAGE_VENDOR Morvasten)
set(CPACK_PACKAGE_CONTACT "Ferrowind_MIB maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SNMP extension agent for failover clusters, with its host and services")
set(CPACK_PACKAGE_DESCRIPTION
  "The cluster MIB VNK-NT-CLUSTER-MIB and its traps for net-snmp's snmpd: snmpext-host (an AgentX\n\
subagent that loads SNMP extension agents), the cluster agent Ferrowind_MIB, the Win32 layer it\n\
runs on, the cluster service simulator clussimd and the management service mgtcore, with\n\
systemd units and command-line tools.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
# The configured paths (units, registry seed) name the install prefix: package the same.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The layer is the package's own private library, not a system one.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
# flock (ferrowind-setup) is in util-linux, which is essential.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "snmpd, snmp")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "snmptrapd")

# Maintainer scripts: stop the units on removal, drop the runtime directory, and the state
# on purge. The files under /etc are the operator's: conffiles, kept on upgrade.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA)
foreach(file postinst prerm postrm conffiles)
  configure_file(${CMAKE_SOURCE_DIR}/SnmpAgents/install/linux/${file}.in ${CMAKE_BINARY_DIR}/package-control/${file} @ONLY)
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/package-control/${file})
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
