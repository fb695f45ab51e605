# Where the Linux build installs (prefix /usr by default): shared by the install rules,
# the configured units and scripts, and the package.
include(GNUInstallDirs)
set(FW_INSTALL_LIB_DIR ${CMAKE_INSTALL_PREFIX}/lib/ferrowind)
set(FW_INSTALL_AGENT_DIR ${FW_INSTALL_LIB_DIR}/agents)
set(FW_INSTALL_DATA_DIR ${CMAKE_INSTALL_FULL_DATADIR}/ferrowind)
set(FW_INSTALL_BIN_DIR ${CMAKE_INSTALL_FULL_BINDIR})
set(FW_INSTALL_SBIN_DIR ${CMAKE_INSTALL_FULL_SBINDIR})
set(FW_INSTALL_CONF_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/ferrowind)
set(FW_INSTALL_DEFAULTS_FILE ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/ferrowind)
set(FW_INSTALL_STATE_DIR ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/ferrowind)
set(FW_INSTALL_RUN_DIR /run/ferrowind)
set(FW_INSTALL_SETUP_SCRIPT ${FW_INSTALL_LIB_DIR}/ferrowind-setup)
set(FW_INSTALL_UNIT_DIR /lib/systemd/system CACHE PATH "Where the systemd units are installed")
# net-snmp's default MIB directory, where its tools and snmptrapd look without -M.
set(FW_INSTALL_SNMP_MIB_DIR ${CMAKE_INSTALL_FULL_DATADIR}/snmp/mibs)
